#include "configtool/ConfigDialog.h"

#include <filesystem>
#include <fstream>

#include "platform/Elevation.h"
#include "platform/Paths.h"
#include "platform/Text.h"

namespace zolcfg {
namespace {

struct DefaultKey {
  const wchar_t* section;
  const wchar_t* key;
  std::wstring value;
  bool serialNumber;
};

// A document that exists but cannot be read is kept beside itself before it
// is replaced, so the administrator's settings are not lost. Returns the
// backup's path, or empty when there was nothing to keep or it failed.
// A path from wide text on either platform: through UTF-8, never through
// the C library's locale (which cannot convert a name that is not ASCII).
std::filesystem::path PathOf(const std::wstring& path) {
  const std::string utf8 = sys::ToUtf8(path);
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::wstring KeepUnreadableDocument(const std::wstring& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path from = PathOf(path);
  if (!fs::is_regular_file(from, ec)) return {};
  const std::wstring kept = path + L".bad";
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(PathOf(kept), std::ios::binary | std::ios::trunc);
  out << in.rdbuf();
  out.close();
  if (!in || !out) return {};
  return kept;
}

}  // namespace

std::wstring ConfigDialog::DocumentPath() const {
  return m_documentPath ? *m_documentPath : GetConfigPath(ZOL_CONFIG_LABEL_TOOL);
}

void ConfigDialog::Initialize() {
  EnsureDocument();
  m_mayWrite = sys::IsElevated(m_doc.Path().empty() ? DocumentPath() : m_doc.Path());
  ports.AttachDocument(&m_doc, m_mayWrite);
  logging.AttachDocument(&m_doc, m_mayWrite);
  msr.AttachDocument(&m_doc, m_mayWrite);
  if (!m_mayWrite) {
    applyAll.enabled = false;
    InformationBox(
        L"You do not have sufficient permissions.\nPlease run the application as Administrator if you need to "
        L"change the settings.");
  }
  currentTab = 0;
}

void ConfigDialog::EnsureDocument() {
  if (m_doc.Open(DocumentPath(), false)) {
    EnsureSections();
    return;
  }
  const std::wstring path = DocumentPath();
  const std::wstring kept = KeepUnreadableDocument(path);
  if (m_doc.Open(path, true)) {
    const DefaultKey defaults[] = {
        {ZOL_SECTION_PORTS, L"MSR_USB", L"", true},
        {ZOL_SECTION_PORTS, L"LD_USB", L"", true},
        {ZOL_SECTION_LOGGING, L"File_Name", sys::GetFixedPath(sys::FixedPath::LogFile), false},
        {ZOL_SECTION_LOGGING, L"File_Size", L"10240", false},
        {ZOL_SECTION_LOGGING, L"Log_Level", L"0", false},
        {ZOL_SECTION_LOGGING, L"TCP_Port", L"38674", false},
        {ZOL_SECTION_LOGGING, L"Module_Service", L"true", false},
        {ZOL_SECTION_LOGGING, L"Module_MSR", L"true", false},
        {ZOL_SECTION_LOGGING, L"Module_LD", L"true", false},
        {ZOL_SECTION_MSR, L"CR_Enabled", L"", false},
        {ZOL_SECTION_MSR, L"Track1_Enabled", L"true", false},
        {ZOL_SECTION_MSR, L"Track2_Enabled", L"true", false},
        {ZOL_SECTION_MSR, L"Track3_Enabled", L"true", false},
        {ZOL_SECTION_MSR, L"Strip_Sentinels", L"", false},
        {ZOL_SECTION_MSR, L"Hide_Error_Tracks", L"", false},
        {ZOL_SECTION_MSR, L"Track1_Start_Sentinel", L"%", false},
        {ZOL_SECTION_MSR, L"Track2_Start_Sentinel", L";", false},
        {ZOL_SECTION_MSR, L"Track3_Start_Sentinel", L"+", false},
        {ZOL_SECTION_MSR, L"End_Sentinel", L"?", false},
        {ZOL_SECTION_MSR, L"Head_Wrapper", L"", false},
        {ZOL_SECTION_MSR, L"Tail_Wrapper", L"", false},
        {ZOL_SECTION_MSR, L"Track1_CR_Enabled", L"", false},
        {ZOL_SECTION_MSR, L"Track2_CR_Enabled", L"", false},
        {ZOL_SECTION_MSR, L"Track3_CR_Enabled", L"", false},
    };
    std::wstring section;
    for (const auto& d : defaults) {
      if (section != d.section) {
        section = d.section;
        m_doc.WriteValue(ZOL_CONFIG_ROOT, section, L"", {});
      }
      attributemap attributes;
      if (d.serialNumber) attributes[L"Serial_Number"] = L"";
      StoreNode(m_doc, BuildNode(d.section, d.key, d.value, attributes), ZOL_CONFIG_ROOT);
    }
    m_doc.Save(L"");
    if (!kept.empty()) {
      InformationBox(L"ZolConfig.xml could not be read and was replaced by the default settings.\nThe old file "
                     L"was kept as \"" + kept + L"\".");
    }
  }
  EnsureSections();
}

void ConfigDialog::EnsureSections() {
  std::vector<datanode> roots;
  m_doc.ReadSection(ZOL_CONFIG_ROOT, roots);
  if (roots.empty()) ExitWithWarning(L"Error loading ZolConfig.xml!\nExiting program.");
  bool added = false;
  for (const wchar_t* section : {ZOL_SECTION_PORTS, ZOL_SECTION_LOGGING, ZOL_SECTION_MSR}) {
    // Looked up by path, not among the root's children: a root whose first
    // child is a comment is read without children, and writing a section
    // that exists would empty it.
    std::vector<datanode> found;
    m_doc.ReadSection(std::wstring(ZOL_CONFIG_ROOT) + L"//" + section, found);
    if (found.empty()) {
      m_doc.WriteValue(ZOL_CONFIG_ROOT, section, L"", {});
      added = true;
    }
  }
  if (added) m_doc.Save(L"");
}

void ConfigDialog::ApplyAll() {
  ports.SaveSettings();
  logging.SaveSettings();
  msr.SaveSettings();
  InformationBox(L"All settings saved.");
}

void ConfigDialog::OnClose(const RestartLimits& limits) {
  if (SettingsChanged()) RestartServices(limits);
}

}  // namespace zolcfg
