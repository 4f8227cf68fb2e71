#pragma once
// The main dialog of the configuration tool, without window code: the start-up
// steps that make sure a usable document exists, the three pages, "Apply All"
// and the restart of the services when it closes.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "ZolVersion.h"
#include "common/config/ConfigDoc.h"
#include "configtool/LogPage.h"
#include "configtool/MsrPage.h"
#include "configtool/PortsPage.h"
#include "configtool/ServiceRestart.h"

namespace zolcfg {

inline constexpr const wchar_t* kDialogTitle = L"ZOL Configuration Tool";
inline constexpr const wchar_t* kAboutTitle = L"About ZOL Configuration Tool";
inline constexpr const wchar_t* kAboutMenuText = L"&About ZolConfig...";
inline constexpr const wchar_t* kVersionText = ZOL_VERSION_W;
inline constexpr const wchar_t* kTabNames[3] = {L"COM Ports", L"Logging", L"MSR"};

class ConfigDialog {
 public:
  // The document is found by its location rule unless a path is given.
  explicit ConfigDialog(std::optional<std::wstring> documentPath = std::nullopt)
      : m_documentPath(std::move(documentPath)) {}
  ConfigDialog(const ConfigDialog&) = delete;
  ConfigDialog& operator=(const ConfigDialog&) = delete;

  // Document, permission check, pages (the dialog initialisation).
  void Initialize();
  void EnsureDocument();
  void EnsureSections();

  void OnTabChanged(int tab) { currentTab = tab; }
  void ApplyAll();
  // Closing the window: offers the restart when a page saved anything.
  void OnClose(const RestartLimits& limits = {});
  // A page saved something: closing offers the restart.
  bool SettingsChanged() const { return ports.settingsChanged || logging.settingsChanged || msr.settingsChanged; }

  configdoc& Document() { return m_doc; }
  bool MayWrite() const { return m_mayWrite; }

  PortsPage ports;
  LogPage logging;
  MsrPage msr;
  ButtonControl applyAll;
  int currentTab = 0;

 private:
  std::wstring DocumentPath() const;

  std::optional<std::wstring> m_documentPath;
  configdoc m_doc;
  bool m_mayWrite = false;
};

}  // namespace zolcfg
