#pragma once
// Limits shared by both parser backends, so a hostile document is refused the
// same way on every platform.
#include <cstddef>

namespace zolconfig {

// Documents nested deeper than this are refused as not well-formed: reading a
// node is recursive, and the nodes it builds are destroyed recursively.
inline constexpr std::size_t kMaxElementDepth = 256;

// Larger files are refused as not well-formed (the document holds a few dozen
// keys), so a stray huge file cannot exhaust memory.
inline constexpr std::size_t kMaxDocumentBytes = 16u * 1024u * 1024u;

}  // namespace zolconfig
