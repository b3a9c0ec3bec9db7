// The per-thread I/O result and the I/O check.
#include "runtime/io_result.h"

#include "runtime/failures.h"

namespace kg {

namespace {
thread_local std::int32_t io_result = 0;
}  // namespace

std::int32_t IoResult() {
  return io_result;
}

void SetIoResult(std::int32_t code) {
  io_result = code;
}

void IoCheck() {
  if (io_result == 0) return;
  const void* location = __builtin_return_address(0);
  RaiseFailure(MakeInOutFailure(), location);
}

}  // namespace kg
