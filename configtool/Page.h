#pragma once
// What the three pages of the configuration tool have in common.
#include <string>

#include "common/config/ConfigDoc.h"
#include "configtool/Controls.h"

namespace zolcfg {

// The caption of the tool's own message boxes.
inline constexpr const wchar_t* kToolCaption = L"ZolConfig";

void InformationBox(const std::wstring& text);
void WarningBox(const std::wstring& text);
// Shows the warning and ends the process with exit code 1.
[[noreturn]] void ExitWithWarning(const std::wstring& text);

class Page {
 public:
  virtual ~Page() = default;

  // Called once by the main dialog; mayWrite false disables "Apply".
  virtual void AttachDocument(configdoc* document, bool mayWrite) = 0;
  // Writes the page's section and saves the file ("Apply", "Apply All").
  virtual void SaveSettings() = 0;
  // The "Apply" button: saves, then says so.
  virtual void OnApply() = 0;
  // The "Default" button.
  virtual void OnDefault() = 0;

  bool settingsChanged = false;
  ButtonControl apply;
  ButtonControl defaults;

 protected:
  // Writes one key of a section under ZOL (BuildNode, then StoreNode).
  void WriteKey(const std::wstring& section, const std::wstring& key, const std::wstring& value,
                const attributemap& attributes = {});
  // The first section node's children; false when the section is absent.
  bool ReadKeys(const std::wstring& section, std::vector<datanode>& children);
  // Saves with the opened path and marks the settings changed.
  void SaveDocument();

  configdoc* m_doc = nullptr;
};

}  // namespace zolcfg
