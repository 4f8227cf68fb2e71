#include "configtool/MsrPage.h"

#include <utility>
#include <vector>

namespace zolcfg {
namespace {

std::wstring Flag(const CheckControl& box) { return box.checked ? L"true" : L""; }

}  // namespace

MsrPage::MsrPage() { rawDataMode.enabled = false; }

void MsrPage::AttachDocument(configdoc* document, bool mayWrite) {
  if (!document) ExitWithWarning(L"Error loading MSR settings!\nExiting program.");
  for (EditControl* e : {&track1Start, &track2Start, &track3Start, &endSentinel}) e->limit = 1;
  SetDefaults();
  m_doc = document;
  if (!mayWrite) apply.enabled = false;
  LoadSettings();
}

void MsrPage::SetDefaults() {
  for (CheckControl* c : {&track1, &track2, &track3}) c->checked = true;
  for (CheckControl* c : {&rawDataMode, &crEnabled, &stripSentinels, &hideErrorTracks, &track1Cr, &track2Cr, &track3Cr})
    c->checked = false;
  track1Start.text = L"%";
  track2Start.text = L";";
  track3Start.text = L"+";
  endSentinel.text = L"?";
  headWrapperOn.checked = false;
  tailWrapperOn.checked = false;
  headWrapper.enabled = false;
  tailWrapper.enabled = false;
}

void MsrPage::LoadSettings() {
  std::vector<datanode> keys;
  if (!ReadKeys(ZOL_SECTION_MSR, keys)) return;
  const std::pair<const wchar_t*, CheckControl*> flags[] = {
      {L"CR_Enabled", &crEnabled},           {L"Track1_Enabled", &track1},   {L"Track2_Enabled", &track2},
      {L"Track3_Enabled", &track3},          {L"Strip_Sentinels", &stripSentinels},
      {L"Hide_Error_Tracks", &hideErrorTracks}, {L"Track1_CR_Enabled", &track1Cr},
      {L"Track2_CR_Enabled", &track2Cr},     {L"Track3_CR_Enabled", &track3Cr},
  };
  const std::pair<const wchar_t*, EditControl*> sentinels[] = {
      {L"Track1_Start_Sentinel", &track1Start},
      {L"Track2_Start_Sentinel", &track2Start},
      {L"Track3_Start_Sentinel", &track3Start},
      {L"End_Sentinel", &endSentinel},
  };
  for (const auto& key : keys) {
    for (const auto& [name, box] : flags) {
      if (key.name == name) box->checked = ConfigBoolean(key.value);
    }
    for (const auto& [name, edit] : sentinels) {
      if (key.name == name && key.value.size() <= 1) edit->text = key.value;
    }
    // Setting an edit's text notifies a change, as typing does.
    if (key.name == L"Head_Wrapper" && key.value.size() <= kWrapperTotal) {
      headWrapper.text = key.value;
      UpdateWrapperLimits();
    }
    if (key.name == L"Tail_Wrapper" && key.value.size() <= kWrapperTotal) {
      tailWrapper.text = key.value;
      UpdateWrapperLimits();
    }
  }
  if (!headWrapper.text.empty()) {
    headWrapper.enabled = true;
    headWrapperOn.checked = true;
  }
  if (!tailWrapper.text.empty()) {
    tailWrapper.enabled = true;
    tailWrapperOn.checked = true;
  }
}

void MsrPage::UpdateWrapperLimits() {
  const std::size_t h = headWrapper.text.size();
  const std::size_t t = tailWrapper.text.size();
  if (t >= kWrapperTotal) {
    headWrapperOn.checked = false;
    headWrapper.enabled = false;
  } else {
    headWrapper.limit = kWrapperTotal - t;
  }
  if (h >= kWrapperTotal) {
    tailWrapperOn.checked = false;
    tailWrapper.enabled = false;
  } else {
    tailWrapper.limit = kWrapperTotal - h;
  }
}

void MsrPage::OnHeadWrapperEdited(const std::wstring& text) {
  headWrapper.UserEdit(text);
  UpdateWrapperLimits();
}

void MsrPage::OnTailWrapperEdited(const std::wstring& text) {
  tailWrapper.UserEdit(text);
  UpdateWrapperLimits();
}

void MsrPage::WrapperClicked(CheckControl& own, EditControl& ownEdit, const EditControl& other, bool checked) {
  own.checked = checked;
  if (checked) {
    if (other.text.size() >= kWrapperTotal) {
      own.checked = false;
    } else {
      ownEdit.enabled = true;
    }
  } else {
    ownEdit.text.clear();
    ownEdit.enabled = false;
    UpdateWrapperLimits();
  }
}

void MsrPage::OnHeadWrapperClicked(bool checked) { WrapperClicked(headWrapperOn, headWrapper, tailWrapper, checked); }

void MsrPage::OnTailWrapperClicked(bool checked) { WrapperClicked(tailWrapperOn, tailWrapper, headWrapper, checked); }

void MsrPage::SaveSettings() {
  const std::wstring s = ZOL_SECTION_MSR;
  WriteKey(s, L"CR_Enabled", Flag(crEnabled));
  WriteKey(s, L"Track1_Enabled", Flag(track1));
  WriteKey(s, L"Track2_Enabled", Flag(track2));
  WriteKey(s, L"Track3_Enabled", Flag(track3));
  WriteKey(s, L"Strip_Sentinels", Flag(stripSentinels));
  WriteKey(s, L"Hide_Error_Tracks", Flag(hideErrorTracks));
  WriteKey(s, L"Track1_Start_Sentinel", track1Start.text);
  WriteKey(s, L"Track2_Start_Sentinel", track2Start.text);
  WriteKey(s, L"Track3_Start_Sentinel", track3Start.text);
  WriteKey(s, L"End_Sentinel", endSentinel.text);
  WriteKey(s, L"Head_Wrapper", headWrapper.text);
  WriteKey(s, L"Tail_Wrapper", tailWrapper.text);
  WriteKey(s, L"Track1_CR_Enabled", Flag(track1Cr));
  WriteKey(s, L"Track2_CR_Enabled", Flag(track2Cr));
  WriteKey(s, L"Track3_CR_Enabled", Flag(track3Cr));
  SaveDocument();
}

void MsrPage::OnApply() {
  SaveSettings();
  InformationBox(L"MSR settings saved.");
}

}  // namespace zolcfg
