// How much of a view of another process's section may be touched at all.
#pragma once

#include <cstddef>

namespace telvor {

// Bytes of readable, committed memory from `address` on, within its one
// region. A section made with SEC_RESERVE maps with its pages reserved but
// not committed, and any access faults, in whatever thread makes it. 0 for
// null.
std::size_t CommittedBytes(const void* address);

}  // namespace telvor
