// The failure kinds, how an I/O result becomes a failure, and how failures are raised.
#pragma once

#include <cstdint>
#include <string>

namespace kg {

// The root of the runtime's classes; every class reports its own name.
class TObject {
 public:
  virtual ~TObject() = default;
  // The class's name exactly as a failure report prints it.
  virtual const char* ClassName() const { return "TObject"; }
};

// The root of every failure kind: a failure with a message of any length, possibly empty.
class Exception : public TObject {
 public:
  explicit Exception(std::string message) : message_text_(std::move(message)) {}
  const char* ClassName() const override { return "Exception"; }
  // The failure's message, as the report shows it.
  const std::string& MessageText() const { return message_text_; }

 private:
  std::string message_text_;
};

// A nonzero I/O result found by an I/O check.
class EInOutError : public Exception {
 public:
  EInOutError(std::string message, std::int32_t code)
      : Exception(std::move(message)), io_result_code_(code) {}
  const char* ClassName() const override { return "EInOutError"; }
  // The I/O result that caused the failure.
  std::int32_t IoResultCode() const { return io_result_code_; }

 private:
  std::int32_t io_result_code_;
};

// A failure of the memory services. Releasing one whose release is not allowed does nothing, so a
// reserved object survives every handler that would otherwise free it.
class EHeapException : public Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const override { return "EHeapException"; }
  bool release_allowed() const { return release_allowed_; }
  void set_release_allowed(bool allowed) { release_allowed_ = allowed; }

 private:
  bool release_allowed_ = false;
};

// Memory that cannot be had, for a new block or for resizing one.
class EOutOfMemory : public EHeapException {
 public:
  using EHeapException::EHeapException;
  const char* ClassName() const override { return "EOutOfMemory"; }
};

// A failure on its way to the top-level failure handler, with the code location that raised it.
struct RaisedFailure {
  Exception* failure;
  const void* location;
};

// Sends `failure` to the top-level failure handler; `location` is the code address that raised it.
[[noreturn]] void RaiseFailure(Exception* failure, const void* location);

// Releases a failure object, except an EHeapException whose release is not allowed.
void ReleaseFailure(Exception* failure);

// Builds the EInOutError for the current I/O result and resets the I/O result to 0. The message
// comes from the runtime's table, or is "I/O error N" for a code it does not name.
EInOutError* MakeInOutFailure();

// The reserved out-of-memory failure, or null outside the runtime support's lifetime.
EOutOfMemory* ReservedOutOfMemory();

// Runtime support start-up: makes the reserved out-of-memory failure and routes every later
// allocation failure to it. When the reservation itself cannot be had, the process ends with the
// runtime error report (203).
void StartRuntimeSupport();

// Runtime support shutdown: releases the reserved failure; from then on exhausted memory ends the
// process with the runtime error report again.
void StopRuntimeSupport();

}  // namespace kg
