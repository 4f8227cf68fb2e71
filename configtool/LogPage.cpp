#include "configtool/LogPage.h"

#include <algorithm>
#include <cwctype>

#include "platform/Paths.h"

namespace zolcfg {
namespace {

bool AllDigits(const std::wstring& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

std::wstring Flag(const CheckControl& box) { return box.checked ? L"true" : L""; }

}  // namespace

const std::vector<std::wstring>& LogLevelNames() {
  static const std::vector<std::wstring> names{L"Off", L"Error", L"Warning", L"Info", L"Verbose", L"Trace"};
  return names;
}

LogPage::LogPage() {
  for (const auto& name : LogLevelNames()) logLevel.AddString(name);
}

void LogPage::AttachDocument(configdoc* document, bool mayWrite) {
  if (!document) ExitWithWarning(L"Error loading Log settings!\nExiting program.");
  fileName.limit = 260;
  tcpPort.limit = 5;
  fileSize.limit = 6;
  SetDefaults();
  m_doc = document;
  if (!mayWrite) apply.enabled = false;
  LoadSettings();
}

void LogPage::SetDefaults() {
  tcpPort.text = L"38674";
  fileName.text = sys::GetFixedPath(sys::FixedPath::LogFile);
  fileSize.text = L"10240";
  logLevel.selection = 0;
  moduleService.checked = true;
  moduleMsr.checked = true;
  moduleLd.checked = true;
}

void LogPage::LoadSettings() {
  std::vector<datanode> keys;
  if (!ReadKeys(ZOL_SECTION_LOGGING, keys)) return;
  for (const auto& key : keys) {
    const std::wstring& v = key.value;
    if (key.name == L"File_Size") {
      if (v.size() <= 6 && AllDigits(v)) fileSize.text = v;
    } else if (key.name == L"File_Name") {
      if (v.size() <= 260) fileName.text = v;
    } else if (key.name == L"Log_Level") {
      if (AllDigits(v)) {
        // Capped on the way: a long digit string is out of range, not an overflow.
        int level = 0;
        for (wchar_t c : v) level = std::min(level * 10 + (c - L'0'), 1000);
        if (level <= 5) logLevel.selection = level;
      }
    } else if (key.name == L"TCP_Port") {
      if (v.size() <= 5 && AllDigits(v)) tcpPort.text = v;
    } else if (key.name == L"Module_Service") {
      moduleService.checked = ConfigBoolean(v);
    } else if (key.name == L"Module_MSR") {
      moduleMsr.checked = ConfigBoolean(v);
    } else if (key.name == L"Module_LD") {
      moduleLd.checked = ConfigBoolean(v);
    }
  }
}

void LogPage::SaveSettings() {
  const std::wstring s = ZOL_SECTION_LOGGING;
  WriteKey(s, L"File_Name", fileName.text);
  WriteKey(s, L"File_Size", fileSize.text);
  WriteKey(s, L"Log_Level", std::to_wstring(logLevel.selection < 0 ? 0 : logLevel.selection));
  WriteKey(s, L"TCP_Port", tcpPort.text);
  WriteKey(s, L"Module_Service", Flag(moduleService));
  WriteKey(s, L"Module_MSR", Flag(moduleMsr));
  WriteKey(s, L"Module_LD", Flag(moduleLd));
  SaveDocument();
}

void LogPage::OnApply() {
  SaveSettings();
  InformationBox(L"Log settings saved.");
}

}  // namespace zolcfg
