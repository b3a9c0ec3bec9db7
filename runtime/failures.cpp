// Failure objects: the I/O failure messages, the reserved out-of-memory failure and raising.
#include "runtime/failures.h"

#include <new>

#include "runtime/io_result.h"
#include "runtime/report.h"

namespace kg {

namespace {

EOutOfMemory* reserved_out_of_memory = nullptr;

// Called by the language's allocator when memory cannot be had; never returns.
void OnMemoryExhausted() {
  const void* location = __builtin_return_address(0);
  if (reserved_out_of_memory == nullptr) RuntimeError(kRuntimeErrorOutOfMemory, location);
  RaiseFailure(reserved_out_of_memory, location);
}

const char* TableMessage(std::int32_t code) {
  switch (code) {
    case 2:
      return "File not found";
    case 3:
      return "Invalid filename";
    case 4:
      return "Too many open files";
    case 5:
      return "File access denied";
    case 100:
      return "Read beyond end of file";
    case 101:
      return "Disk full";
    case 106:
      return "Invalid numeric input";
    default:
      return nullptr;
  }
}

}  // namespace

void RaiseFailure(Exception* failure, const void* location) {
  throw RaisedFailure{failure, location};
}

void ReleaseFailure(Exception* failure) {
  if (auto* heap = dynamic_cast<EHeapException*>(failure);
      heap != nullptr && !heap->release_allowed()) {
    return;
  }
  delete failure;
}

EInOutError* MakeInOutFailure() {
  std::int32_t code = IoResult();
  SetIoResult(0);
  const char* message = TableMessage(code);
  if (message != nullptr) return new EInOutError(message, code);
  return new EInOutError("I/O error " + std::to_string(code), code);
}

EOutOfMemory* ReservedOutOfMemory() {
  return reserved_out_of_memory;
}

void StartRuntimeSupport() {
  // Until the reservation exists the hook reports runtime error 203 instead.
  std::set_new_handler(&OnMemoryExhausted);
  reserved_out_of_memory = new EOutOfMemory("Out of memory");
}

void StopRuntimeSupport() {
  EOutOfMemory* reserved = reserved_out_of_memory;
  reserved_out_of_memory = nullptr;
  if (reserved != nullptr) {
    reserved->set_release_allowed(true);
    ReleaseFailure(reserved);
  }
}

}  // namespace kg
