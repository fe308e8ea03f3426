// Which processes hold a named kernel object open: for a test that finds a
// name still taken (a producer told a ring "is still open"), the message
// names the holder instead of leaving a guess.
#pragma once

#include <string>

namespace telvor::test {

// "pid program" of each process with a handle to an object whose full name
// ends in `name` (e.g. L"\\KAVO.VCAM.V.SHARE.MEMORY.52"), one per line; ""
// when none does, or what stopped the search.
std::string ObjectHolders(const std::wstring& name);

}  // namespace telvor::test
