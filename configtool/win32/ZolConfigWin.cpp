// The Win32 view of the configuration tool: dialogs from the resource script,
// every control bound to the page models.
#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "configtool/ConfigDialog.h"
#include "configtool/win32/resource.h"
#include "platform/MessageBox.h"

namespace {

using zolcfg::CheckControl;
using zolcfg::ComboControl;
using zolcfg::EditControl;

HINSTANCE g_instance = nullptr;

std::wstring WindowText(HWND control) {
  int length = GetWindowTextLengthW(control);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  GetWindowTextW(control, text.data(), length + 1);
  text.resize(static_cast<size_t>(length));
  return text;
}

// Model -> controls. Setting an edit's text only when it differs keeps the
// caret where the user left it.
void ShowEdit(HWND dlg, int id, const EditControl& e) {
  HWND h = GetDlgItem(dlg, id);
  if (WindowText(h) != e.text) SetWindowTextW(h, e.text.c_str());
  SendMessageW(h, EM_SETLIMITTEXT, e.limit ? e.limit : 0x7FFFFFFE, 0);
  EnableWindow(h, e.enabled);
}

void ShowCheck(HWND dlg, int id, const CheckControl& c) {
  CheckDlgButton(dlg, id, c.checked ? BST_CHECKED : BST_UNCHECKED);
  EnableWindow(GetDlgItem(dlg, id), c.enabled);
}

void ShowCombo(HWND dlg, int id, const ComboControl& c) {
  HWND h = GetDlgItem(dlg, id);
  SendMessageW(h, CB_RESETCONTENT, 0, 0);
  for (const auto& entry : c.entries) SendMessageW(h, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
  SendMessageW(h, CB_SETCURSEL, static_cast<WPARAM>(c.selection), 0);
  EnableWindow(h, c.enabled);
}

bool Checked(HWND dlg, int id) { return IsDlgButtonChecked(dlg, id) == BST_CHECKED; }

struct CheckBinding {
  int id;
  CheckControl zolcfg::MsrPage::*member;
};
const CheckBinding kMsrChecks[] = {
    {IDC_RAW_DATA_MODE, &zolcfg::MsrPage::rawDataMode},   {IDC_CR_ENABLED, &zolcfg::MsrPage::crEnabled},
    {IDC_TRACK1, &zolcfg::MsrPage::track1},               {IDC_TRACK2, &zolcfg::MsrPage::track2},
    {IDC_TRACK3, &zolcfg::MsrPage::track3},               {IDC_STRIP_SENTINELS, &zolcfg::MsrPage::stripSentinels},
    {IDC_HIDE_ERROR_TRACKS, &zolcfg::MsrPage::hideErrorTracks},
    {IDC_HEAD_WRAPPER_ON, &zolcfg::MsrPage::headWrapperOn}, {IDC_TAIL_WRAPPER_ON, &zolcfg::MsrPage::tailWrapperOn},
    {IDC_TRACK1_CR, &zolcfg::MsrPage::track1Cr},           {IDC_TRACK2_CR, &zolcfg::MsrPage::track2Cr},
    {IDC_TRACK3_CR, &zolcfg::MsrPage::track3Cr},
};
struct EditBinding {
  int id;
  EditControl zolcfg::MsrPage::*member;
};
const EditBinding kMsrEdits[] = {
    {IDC_TRACK1_START, &zolcfg::MsrPage::track1Start}, {IDC_TRACK2_START, &zolcfg::MsrPage::track2Start},
    {IDC_TRACK3_START, &zolcfg::MsrPage::track3Start}, {IDC_END_SENTINEL, &zolcfg::MsrPage::endSentinel},
    {IDC_HEAD_WRAPPER, &zolcfg::MsrPage::headWrapper}, {IDC_TAIL_WRAPPER, &zolcfg::MsrPage::tailWrapper},
};

struct Window {
  zolcfg::ConfigDialog* model = nullptr;
  HWND main = nullptr;
  HWND pages[3] = {};
  bool refreshing = false;
  HICON icon = nullptr;

  void Refresh() {
    refreshing = true;
    auto& p = model->ports;
    ShowCombo(pages[0], IDC_MSR_PORT, p.msrPort);
    ShowCombo(pages[0], IDC_LD_PORT, p.ldPort);
    EnableWindow(GetDlgItem(pages[0], IDC_PORTS_APPLY), p.apply.enabled);
    auto& l = model->logging;
    ShowEdit(pages[1], IDC_FILE_NAME, l.fileName);
    ShowEdit(pages[1], IDC_FILE_SIZE, l.fileSize);
    ShowEdit(pages[1], IDC_TCP_PORT, l.tcpPort);
    ShowCombo(pages[1], IDC_LOG_LEVEL, l.logLevel);
    ShowCheck(pages[1], IDC_MODULE_SERVICE, l.moduleService);
    ShowCheck(pages[1], IDC_MODULE_MSR, l.moduleMsr);
    ShowCheck(pages[1], IDC_MODULE_LD, l.moduleLd);
    EnableWindow(GetDlgItem(pages[1], IDC_LOG_APPLY), l.apply.enabled);
    auto& m = model->msr;
    for (const auto& b : kMsrChecks) ShowCheck(pages[2], b.id, m.*b.member);
    for (const auto& e : kMsrEdits) ShowEdit(pages[2], e.id, m.*e.member);
    EnableWindow(GetDlgItem(pages[2], IDC_MSR_APPLY), m.apply.enabled);
    EnableWindow(GetDlgItem(main, IDC_APPLY_ALL), model->applyAll.enabled);
    refreshing = false;
  }

  void ShowPage(int tab) {
    for (int i = 0; i < 3; ++i) ShowWindow(pages[i], i == tab ? SW_SHOW : SW_HIDE);
  }
};

Window g_window;

INT_PTR CALLBACK AboutProc(HWND dlg, UINT msg, WPARAM wp, LPARAM) {
  if (msg == WM_INITDIALOG) return TRUE;
  if (msg == WM_COMMAND && (LOWORD(wp) == IDOK || LOWORD(wp) == IDCANCEL)) {
    EndDialog(dlg, LOWORD(wp));
    return TRUE;
  }
  return FALSE;
}

INT_PTR CALLBACK PortsProc(HWND, UINT msg, WPARAM wp, LPARAM) {
  if (msg != WM_COMMAND || g_window.refreshing) return FALSE;
  auto& page = g_window.model->ports;
  const int id = LOWORD(wp);
  const int code = HIWORD(wp);
  HWND dlg = g_window.pages[0];
  if (code == CBN_SELCHANGE && (id == IDC_MSR_PORT || id == IDC_LD_PORT)) {
    int sel = static_cast<int>(SendDlgItemMessageW(dlg, id, CB_GETCURSEL, 0, 0));
    if (id == IDC_MSR_PORT) page.OnMsrSelectionChanged(sel); else page.OnLdSelectionChanged(sel);
  } else if (id == IDC_PORTS_APPLY && code == BN_CLICKED) {
    page.OnApply();
  } else if (id == IDC_PORTS_DEFAULT && code == BN_CLICKED) {
    page.OnDefault();
  } else {
    return FALSE;
  }
  g_window.Refresh();
  return TRUE;
}

INT_PTR CALLBACK LogProc(HWND, UINT msg, WPARAM wp, LPARAM) {
  if (msg != WM_COMMAND || g_window.refreshing) return FALSE;
  auto& page = g_window.model->logging;
  HWND dlg = g_window.pages[1];
  const int id = LOWORD(wp);
  const int code = HIWORD(wp);
  if (code == EN_CHANGE) {
    EditControl* e = id == IDC_FILE_NAME ? &page.fileName : id == IDC_FILE_SIZE ? &page.fileSize
                     : id == IDC_TCP_PORT ? &page.tcpPort : nullptr;
    if (!e) return FALSE;
    e->UserEdit(WindowText(GetDlgItem(dlg, id)));
    return TRUE;
  }
  if (code == CBN_SELCHANGE && id == IDC_LOG_LEVEL) {
    page.logLevel.selection = static_cast<int>(SendDlgItemMessageW(dlg, id, CB_GETCURSEL, 0, 0));
    return TRUE;
  }
  if (code != BN_CLICKED) return FALSE;
  switch (id) {
    case IDC_MODULE_SERVICE: page.moduleService.checked = Checked(dlg, id); return TRUE;
    case IDC_MODULE_MSR: page.moduleMsr.checked = Checked(dlg, id); return TRUE;
    case IDC_MODULE_LD: page.moduleLd.checked = Checked(dlg, id); return TRUE;
    case IDC_LOG_APPLY: page.OnApply(); break;
    case IDC_LOG_DEFAULT: page.OnDefault(); break;
    default: return FALSE;
  }
  g_window.Refresh();
  return TRUE;
}

INT_PTR CALLBACK MsrProc(HWND, UINT msg, WPARAM wp, LPARAM) {
  if (msg != WM_COMMAND || g_window.refreshing) return FALSE;
  auto& page = g_window.model->msr;
  HWND dlg = g_window.pages[2];
  const int id = LOWORD(wp);
  const int code = HIWORD(wp);
  if (code == EN_CHANGE) {
    const std::wstring text = WindowText(GetDlgItem(dlg, id));
    if (id == IDC_HEAD_WRAPPER) {
      page.OnHeadWrapperEdited(text);
    } else if (id == IDC_TAIL_WRAPPER) {
      page.OnTailWrapperEdited(text);
    } else {
      for (const auto& e : kMsrEdits)
        if (e.id == id) (page.*e.member).UserEdit(text);
    }
  } else if (code == BN_CLICKED) {
    if (id == IDC_HEAD_WRAPPER_ON) {
      page.OnHeadWrapperClicked(Checked(dlg, id));
    } else if (id == IDC_TAIL_WRAPPER_ON) {
      page.OnTailWrapperClicked(Checked(dlg, id));
    } else if (id == IDC_MSR_APPLY) {
      page.OnApply();
    } else if (id == IDC_MSR_DEFAULT) {
      page.OnDefault();
    } else {
      for (const auto& b : kMsrChecks)
        if (b.id == id) (page.*b.member).checked = Checked(dlg, id);
    }
  } else {
    return FALSE;
  }
  g_window.Refresh();
  return TRUE;
}

INT_PTR CALLBACK MainProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_INITDIALOG: {
      g_window.main = dlg;
      if (HMENU menu = GetSystemMenu(dlg, FALSE)) {
        wchar_t about[64] = {};
        if (LoadStringW(g_instance, IDS_ABOUTBOX, about, 64) > 0) {
          AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
          AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, about);
        }
      }
      g_window.icon = LoadIconW(g_instance, MAKEINTRESOURCEW(IDR_MAINFRAME));
      SendMessageW(dlg, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(g_window.icon));
      SendMessageW(dlg, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(g_window.icon));
      const int resources[3] = {IDD_PORTS_DIALOG, IDD_LOG_DIALOG, IDD_MSR_DIALOG};
      DLGPROC procs[3] = {PortsProc, LogProc, MsrProc};
      HWND tab = GetDlgItem(dlg, IDC_TAB);
      RECT where{8, 20, 8 + 352, 20 + 178};
      MapDialogRect(dlg, &where);
      for (int i = 0; i < 3; ++i) {
        g_window.pages[i] = CreateDialogParamW(g_instance, MAKEINTRESOURCEW(resources[i]), dlg, procs[i], 0);
        SetWindowPos(g_window.pages[i], tab, where.left, where.top, 0, 0, SWP_NOSIZE);
        TCITEMW item{};
        item.mask = TCIF_TEXT;
        item.pszText = const_cast<wchar_t*>(zolcfg::kTabNames[i]);
        SendMessageW(tab, TCM_INSERTITEMW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
      }
      g_window.model->Initialize();
      g_window.Refresh();
      g_window.ShowPage(0);
      return TRUE;
    }
    case WM_SYSCOMMAND:
      if ((wp & 0xFFF0) == IDM_ABOUTBOX) {
        DialogBoxParamW(g_instance, MAKEINTRESOURCEW(IDD_ABOUTBOX), dlg, AboutProc, 0);
        return TRUE;
      }
      return FALSE;
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lp);
      if (header->idFrom != IDC_TAB || header->code != TCN_SELCHANGE) return FALSE;
      HWND tab = GetDlgItem(dlg, IDC_TAB);
      SetFocus(tab);
      const int selected = static_cast<int>(SendMessageW(tab, TCM_GETCURSEL, 0, 0));
      g_window.model->OnTabChanged(selected);
      g_window.ShowPage(selected);
      return TRUE;
    }
    case WM_COMMAND:
      if (LOWORD(wp) == IDC_APPLY_ALL) {
        g_window.model->ApplyAll();
        g_window.Refresh();
        return TRUE;
      }
      if (LOWORD(wp) == IDCANCEL) {
        g_window.model->OnClose();
        EndDialog(dlg, IDCANCEL);
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  g_instance = instance;
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES | ICC_TAB_CLASSES};
  InitCommonControlsEx(&controls);
  sys::SetMessagePresenter([](const sys::MessageBoxRequest& r) {
    UINT type = 0;
    switch (r.buttons) {
      case sys::MessageButtons::Ok: type |= MB_OK; break;
      case sys::MessageButtons::YesNo: type |= MB_YESNO; break;
      case sys::MessageButtons::YesNoCancel: type |= MB_YESNOCANCEL; break;
      case sys::MessageButtons::OkCancel: type |= MB_OKCANCEL; break;
    }
    switch (r.icon) {
      case sys::MessageIcon::Information: type |= MB_ICONINFORMATION; break;
      case sys::MessageIcon::Warning: type |= MB_ICONWARNING; break;
      case sys::MessageIcon::Error: type |= MB_ICONERROR; break;
      case sys::MessageIcon::Question: type |= MB_ICONQUESTION; break;
      case sys::MessageIcon::None: break;
    }
    switch (MessageBoxW(g_window.main, r.text.c_str(), r.caption.c_str(), type)) {
      case IDYES: return sys::MessageAnswer::Yes;
      case IDNO: return sys::MessageAnswer::No;
      case IDCANCEL: return sys::MessageAnswer::Cancel;
      default: return sys::MessageAnswer::Ok;
    }
  });
  zolcfg::ConfigDialog model;
  g_window.model = &model;
  DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_ZOLCONFIG_DIALOG), nullptr, MainProc, 0);
  return 0;
}
