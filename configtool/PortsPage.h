#pragma once
// The "COM Ports" page: which virtual COM port serves the stripe reader and
// which the line display.
#include <string>
#include <vector>

#include "configtool/Page.h"

namespace zolcfg {

// "COM<n>" from an interface path ending in "<separator>ZOL_COM<n>" (any case),
// or the empty string.
std::wstring PortNameFromInterfacePath(const std::wstring& path);

class PortsPage : public Page {
 public:
  PortsPage();

  void AttachDocument(configdoc* document, bool mayWrite) override;
  void SaveSettings() override;
  void OnApply() override;
  void OnDefault() override;

  // Fills both lists from the driver's present interfaces.
  void FillPortLists();
  // Fills both lists from these interface paths.
  void FillPortLists(const std::vector<std::wstring>& interfacePaths);
  void LoadSettings();

  // The user picked an entry: the same port is never kept for both devices.
  void OnMsrSelectionChanged(int selection);
  void OnLdSelectionChanged(int selection);

  ComboControl msrPort;  // 1027
  ComboControl ldPort;   // 1033
};

}  // namespace zolcfg
