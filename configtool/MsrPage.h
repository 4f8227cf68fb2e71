#pragma once
// The "MSR" page: how the stripe-reader plug-in turns card data into text.
#include "configtool/Page.h"

namespace zolcfg {

// Head and tail wrapper together hold at most this many characters.
inline constexpr std::size_t kWrapperTotal = 14;

class MsrPage : public Page {
 public:
  MsrPage();

  void AttachDocument(configdoc* document, bool mayWrite) override;
  void SaveSettings() override;
  void OnApply() override;
  void OnDefault() override { SetDefaults(); }

  void SetDefaults();
  void LoadSettings();
  // After either wrapper text changed.
  void UpdateWrapperLimits();
  // The user typed into a wrapper edit (limits apply, then UpdateWrapperLimits).
  void OnHeadWrapperEdited(const std::wstring& text);
  void OnTailWrapperEdited(const std::wstring& text);
  // A wrapper switch was clicked and now shows checked.
  void OnHeadWrapperClicked(bool checked);
  void OnTailWrapperClicked(bool checked);

  CheckControl rawDataMode;      // 1001, always disabled
  CheckControl crEnabled;        // 1002
  CheckControl track1;           // 1003
  CheckControl track2;           // 1004
  CheckControl track3;           // 1005
  CheckControl stripSentinels;   // 1006
  CheckControl hideErrorTracks;  // 1007
  EditControl track1Start;       // 1008
  EditControl track2Start;       // 1009
  EditControl track3Start;       // 1010
  EditControl endSentinel;       // 1011
  CheckControl headWrapperOn;    // 1012
  CheckControl tailWrapperOn;    // 1013
  EditControl headWrapper;       // 1014
  EditControl tailWrapper;       // 1015
  CheckControl track1Cr;         // 1016
  CheckControl track2Cr;         // 1017
  CheckControl track3Cr;         // 1018

 private:
  void WrapperClicked(CheckControl& own, EditControl& ownEdit, const EditControl& other, bool checked);
};

}  // namespace zolcfg
