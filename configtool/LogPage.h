#pragma once
// The "Logging" page: log file, size limit, TCP port, level and modules.
#include "configtool/Page.h"

namespace zolcfg {

class LogPage : public Page {
 public:
  LogPage();

  void AttachDocument(configdoc* document, bool mayWrite) override;
  void SaveSettings() override;
  void OnApply() override;
  void OnDefault() override { SetDefaults(); }

  void SetDefaults();
  void LoadSettings();

  EditControl fileName;      // 1025
  EditControl fileSize;      // 1023, digits only
  EditControl tcpPort;       // 1022, digits only
  ComboControl logLevel;     // 1019
  CheckControl moduleService;  // 1020
  CheckControl moduleMsr;      // 1021
  CheckControl moduleLd;       // 1034
};

// "Off", "Error", "Warning", "Info", "Verbose", "Trace".
const std::vector<std::wstring>& LogLevelNames();

}  // namespace zolcfg
