// The per-thread I/O result and the I/O check that turns it into a failure.
#pragma once

#include <cstdint>

namespace kg {

// Codes the runtime sets by itself; the others come from the platform's last error.
constexpr std::int32_t kIoNotBound = 102;          // open of a line file never bound
constexpr std::int32_t kIoNotOpen = 103;           // close or flush of a line file not open
constexpr std::int32_t kIoNotOpenForInput = 104;   // a read of a line file not open for reading
constexpr std::int32_t kIoNotOpenForOutput = 105;  // a write of a line file not open for writing

// The calling thread's I/O result: 0 when no operation has failed since it was last reset.
std::int32_t IoResult();

// Overwrites the I/O result; a failing operation stores its code here.
void SetIoResult(std::int32_t code);

// Raises an EInOutError for a nonzero I/O result, located just after the call; otherwise returns.
// Never inlined, so that the failure location names the statement the check follows; code that
// calls it is built without sibling-call optimisation (see CMakeLists.txt), so that no check is a
// jump whose return address lies in the caller of that statement's function.
[[gnu::noinline]] void IoCheck();

}  // namespace kg
