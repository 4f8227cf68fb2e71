#pragma once
// Clearing memory that held card data, in a way the compiler cannot drop as a
// dead store.
#include <cstddef>

namespace sys {

void SecureZero(void* data, std::size_t length);

}  // namespace sys
