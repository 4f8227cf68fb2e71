#include "configtool/Page.h"

#include <cstdlib>

#include "platform/MessageBox.h"

namespace zolcfg {

void InformationBox(const std::wstring& text) {
  sys::ShowMessageBox({text, kToolCaption, sys::MessageIcon::Information, sys::MessageButtons::Ok});
}

void WarningBox(const std::wstring& text) {
  sys::ShowMessageBox({text, kToolCaption, sys::MessageIcon::Warning, sys::MessageButtons::Ok});
}

void ExitWithWarning(const std::wstring& text) {
  WarningBox(text);
  std::exit(1);
}

void Page::WriteKey(const std::wstring& section, const std::wstring& key, const std::wstring& value,
                    const attributemap& attributes) {
  StoreNode(*m_doc, BuildNode(section, key, value, attributes), ZOL_CONFIG_ROOT);
}

bool Page::ReadKeys(const std::wstring& section, std::vector<datanode>& children) {
  std::vector<datanode> nodes;
  m_doc->ReadSection(section, nodes);
  if (nodes.empty()) return false;
  children = nodes.front().children;
  return true;
}

void Page::SaveDocument() {
  m_doc->Save(L"");
  settingsChanged = true;
}

}  // namespace zolcfg
