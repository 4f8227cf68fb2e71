#pragma once
// Internal: builds log texts from the pieces of a wrapper's names.
#include <string>

namespace bexhid {

template <class... Parts>
std::string Line(const Parts&... parts) {
  std::string text;
  (text.append(parts), ...);
  return text;
}

// The same as a wide format string (class names are ASCII).
template <class... Parts>
std::wstring WideLine(const Parts&... parts) {
  const std::string narrow = Line(parts...);
  return std::wstring(narrow.begin(), narrow.end());
}

}  // namespace bexhid
