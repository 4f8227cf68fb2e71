#include "configtool/PortsPage.h"

#include <algorithm>
#include <cwctype>

#include "platform/Process.h"
#include "platform/VirtualSerial.h"

namespace zolcfg {

std::wstring PortNameFromInterfacePath(const std::wstring& path) {
  std::wstring upper(path);
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](wchar_t c) { return static_cast<wchar_t>(std::towupper(c)); });
  const std::wstring marker = std::wstring(1, sys::PathSeparator()) + L"ZOL_COM";
  size_t at = upper.find(marker);
  if (at == std::wstring::npos) return {};
  std::wstring rest = upper.substr(at);
  if (rest.size() <= marker.size()) return {};
  return rest.substr(5);  // without the separator and "ZOL_"
}

PortsPage::PortsPage() {
  msrPort.sorted = true;
  ldPort.sorted = true;
}

void PortsPage::AttachDocument(configdoc* document, bool mayWrite) {
  if (!document) ExitWithWarning(L"Error loading Ports settings!\nExiting program.");
  FillPortLists();
  m_doc = document;
  if (!mayWrite) apply.enabled = false;
  LoadSettings();
}

void PortsPage::FillPortLists() {
  // A failed enumeration leaves the lists with what was found (usually none).
  FillPortLists(sys::ListVirtualSerialInterfaces().paths);
}

void PortsPage::FillPortLists(const std::vector<std::wstring>& interfacePaths) {
  for (const auto& path : interfacePaths) {
    std::wstring name = PortNameFromInterfacePath(path);
    msrPort.AddString(name);
    ldPort.AddString(name);
  }
}

void PortsPage::LoadSettings() {
  std::vector<datanode> keys;
  if (!ReadKeys(ZOL_SECTION_PORTS, keys)) return;
  for (const auto& key : keys) {
    if (key.name == L"MSR_USB") msrPort.selection = msrPort.FindStringExact(key.value);
    if (key.name == L"LD_USB") ldPort.selection = ldPort.FindStringExact(key.value);
  }
}

void PortsPage::SaveSettings() {
  const attributemap serial{{L"Serial_Number", L""}};
  WriteKey(ZOL_SECTION_PORTS, L"MSR_USB", msrPort.Text(), serial);
  WriteKey(ZOL_SECTION_PORTS, L"LD_USB", ldPort.Text(), serial);
  SaveDocument();
}

void PortsPage::OnApply() {
  SaveSettings();
  InformationBox(L"Ports settings saved.");
}

void PortsPage::OnDefault() {
  msrPort.selection = -1;
  ldPort.selection = -1;
}

void PortsPage::OnMsrSelectionChanged(int selection) {
  msrPort.selection = selection;
  if (selection >= 0 && selection == ldPort.selection) ldPort.selection = -1;
}

void PortsPage::OnLdSelectionChanged(int selection) {
  ldPort.selection = selection;
  if (selection >= 0 && selection == msrPort.selection) msrPort.selection = -1;
}

}  // namespace zolcfg
