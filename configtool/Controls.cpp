#include "configtool/Controls.h"

#include <algorithm>
#include <cwctype>

namespace zolcfg {
namespace {

std::wstring Lowered(const std::wstring& s) {
  std::wstring out(s);
  std::transform(out.begin(), out.end(), out.begin(), [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
  return out;
}

}  // namespace

bool EditControl::UserEdit(const std::wstring& typed) {
  if (limit != 0 && typed.size() > limit && typed.size() > text.size()) return false;
  text = typed;
  return true;
}

std::wstring FitToLimit(const std::wstring& before, const std::wstring& typed, std::size_t limit) {
  if (limit == 0 || typed.size() <= limit || typed.size() <= before.size()) return typed;
  // The insertion is what lies between the part both texts start with and
  // the part both end with.
  std::size_t head = 0;
  while (head < before.size() && before[head] == typed[head]) ++head;
  std::size_t tail = 0;
  while (tail < before.size() - head && before[before.size() - 1 - tail] == typed[typed.size() - 1 - tail]) ++tail;
  const std::size_t kept = head + tail;
  if (kept >= limit) return before;
  return typed.substr(0, head) + typed.substr(head, limit - kept) + typed.substr(typed.size() - tail);
}

void ComboControl::AddString(const std::wstring& entry) {
  if (!sorted) {
    entries.push_back(entry);
    return;
  }
  const std::wstring key = Lowered(entry);
  auto pos = std::upper_bound(entries.begin(), entries.end(), key,
                              [](const std::wstring& k, const std::wstring& e) { return k < Lowered(e); });
  int index = static_cast<int>(pos - entries.begin());
  entries.insert(pos, entry);
  if (selection >= index) ++selection;
}

int ComboControl::FindStringExact(const std::wstring& text) const {
  const std::wstring key = Lowered(text);
  for (size_t i = 0; i < entries.size(); ++i) {
    if (Lowered(entries[i]) == key) return static_cast<int>(i);
  }
  return -1;
}

std::wstring ComboControl::Text() const {
  if (selection < 0 || selection >= static_cast<int>(entries.size())) return {};
  return entries[static_cast<size_t>(selection)];
}

}  // namespace zolcfg
