#pragma once
// What both parser backends share, so that a hostile document or expression
// is refused the same way on every platform.
#include <cstddef>
#include <string>

namespace zolconfig {

// Documents nested deeper than this are refused as not well-formed: reading a
// node is recursive, and the nodes it builds are destroyed recursively.
inline constexpr std::size_t kMaxElementDepth = 256;

// Larger files are refused as not well-formed (the document holds a few dozen
// keys), so a stray huge file cannot exhaust memory.
inline constexpr std::size_t kMaxDocumentBytes = 16u * 1024u * 1024u;

// An XML 1.0 name, kept simple (ASCII rules, any character from U+00C0 on).
bool IsXmlName(const std::wstring& name);

// True when every character may stand in an XML 1.0 document (tab, line
// feed, carriage return, U+0020 on, no lone surrogate, no U+FFFE / U+FFFF).
// Text outside that would be saved as a file that no longer loads.
bool IsXmlText(const std::wstring& text);

// True for the selections this library builds: "//" and a name, repeated,
// then at most one predicate [@name="value" and @name="value" ...] with no
// double quote inside a value. Anything else selects nothing, so a value that
// would break or change the expression cannot reach the parser.
bool IsSelection(const std::wstring& expression);

}  // namespace zolconfig
