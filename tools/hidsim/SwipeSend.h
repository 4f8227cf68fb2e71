#pragma once
// Queues an encoded card on a running simulated stripe reader.
#include <cstdint>
#include <optional>
#include <string>

#include "tools/hidsim/CardEncoding.h"

namespace hidsim {

// Sends card to the reader at path (a simulated one's socket or a kernel
// one's control socket) and waits up to timeoutMs for it to be
// queued. False with *error (the reader's answer or the system error) when it
// was not; *hosts: how many hosts read the reader, when it said.
bool SendSwipe(const std::string& path, const EncodedCard& card, int timeoutMs, std::optional<std::uint32_t>* hosts,
               std::uint32_t* error);

}  // namespace hidsim
