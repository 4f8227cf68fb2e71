#pragma once
// The state of the dialog controls that the pages drive. A view (Qt or Win32)
// shows this state and reports the user's actions back to the page; the pages
// themselves hold no window code.
#include <cstddef>
#include <string>
#include <vector>

namespace zolcfg {

struct ButtonControl {
  bool enabled = true;
};

struct CheckControl {
  bool checked = false;
  bool enabled = true;
};

// An edit. The limit restricts what the user types, not what the program
// sets (as an edit control's text limit does); 0 means no limit.
struct EditControl {
  std::wstring text;
  std::size_t limit = 0;
  bool enabled = true;

  // The user changed the text to typed: taken when within the limit or no
  // longer than before (deleting is always possible). Returns whether taken.
  bool UserEdit(const std::wstring& typed);
};

// What an edit control with a text limit makes of an insertion (a paste)
// that would go beyond the limit: the inserted part cut to fit. typed is the
// text with the whole insertion, before the text before it; a limit of 0, or
// a text within it, is returned unchanged.
std::wstring FitToLimit(const std::wstring& before, const std::wstring& typed, std::size_t limit);

// A drop-down list. A sorted list keeps its entries in text order, ignoring
// the letters' case.
struct ComboControl {
  std::vector<std::wstring> entries;
  int selection = -1;
  bool sorted = false;
  bool enabled = true;

  void AddString(const std::wstring& entry);
  // Position of the entry equal to text, ignoring case, or -1.
  int FindStringExact(const std::wstring& text) const;
  // The selected entry's text, or the empty string.
  std::wstring Text() const;
};

}  // namespace zolcfg
