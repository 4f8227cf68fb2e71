#pragma once
// Where the port service finds the ports' interfaces: the device sides of
// zolvcom where it serves them, otherwise vcomd's sockets in the run folder.
#include <string>
#include <vector>

namespace vcom {

// vcomd's folder of interface sockets under the run folder (/run/zol).
std::string InterfaceFolder(const std::string& runFolder);

// The serving driver's interfaces, sorted; no folder means none. False with
// errno when the folder cannot be read.
bool ListInterfaces(const std::string& runFolder, std::vector<std::string>& paths, int& error);

}  // namespace vcom
