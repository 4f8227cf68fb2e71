#pragma once
// Internal: the message table's wording for the codes the system reports, for
// a backend whose system has no text (or a host that lacks some).
#include <cstdint>

namespace sys::detail {

// The text ending in CR LF, or nullptr for a code not in the table.
const char* KnownErrorText(std::uint32_t code);

}  // namespace sys::detail
