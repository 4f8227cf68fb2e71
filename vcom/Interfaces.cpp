#include "vcom/Interfaces.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "vcom/DeviceClass.h"
#include "vcom/KernelDevice.h"

namespace vcom {

std::string InterfaceFolder(const std::string& runFolder) { return runFolder + "/devices/" + kClassGuid; }

bool ListInterfaces(const std::string& runFolder, std::vector<std::string>& paths, int& error) {
  const bool kernel = KernelDriverChosen();
  const std::string folder = kernel ? KernelDeviceFolder() : InterfaceFolder(runFolder);
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (!dir) {
    error = errno;
    return error == ENOENT || error == ENOTDIR;
  }
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(dir.get())) {
    std::string name = entry->d_name;
    if (name.empty() || name[0] == '.') continue;  // temporary names and . ..
    struct stat st {};
    if (::stat((folder + "/" + name).c_str(), &st) != 0 || !(kernel ? S_ISCHR(st.st_mode) : S_ISSOCK(st.st_mode)))
      continue;
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) paths.push_back(folder + "/" + name);
  return true;
}

}  // namespace vcom
