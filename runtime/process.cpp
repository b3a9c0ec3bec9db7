// The run's frame: start-up steps, top-level failure handler, shutdown steps and exits.
#include "runtime/process.h"

#include "runtime/console.h"
#include "runtime/io_result.h"
#include "runtime/platform/platform.h"
#include "runtime/report.h"

namespace kg {

namespace {
std::int32_t exit_code = 0;
}  // namespace

void RunStartUpSteps(int argc, char** argv) {
  platform::InitializeProcess(argc, argv);
  exit_code = 0;
  // Both console streams are marked not yet open; each opens itself on its first use.
  StandardInput().Bind("");
  StandardOutput().Bind("");
  StartRuntimeSupport();
}

void RunProgram(int argc, char** argv, void (*main_sequence)()) {
  RunStartUpSteps(argc, argv);
  try {
    main_sequence();
  } catch (const RaisedFailure& raised) {
    HandleTopLevelFailure(raised);
  }
  NormalExit();
}

void RunShutdownSteps() {
  StopRuntimeSupport();
  LineFile::WriteOutAllPending();
  StandardInput().Close();
  StandardOutput().Close();
}

void NormalExit() {
  RunShutdownSteps();
  platform::ExitProcess(static_cast<platform::DWORD>(exit_code));
}

void FailureExit(std::int32_t code) {
  exit_code = code;
  RunShutdownSteps();
  platform::ExitProcess(static_cast<platform::DWORD>(exit_code));
}

void HandleTopLevelFailure(const RaisedFailure& raised) {
  ShowFailureReport(*raised.failure, raised.location);
  FailureExit(1);
}

std::int32_t ExitCode() {
  return exit_code;
}

}  // namespace kg
