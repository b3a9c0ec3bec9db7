// Line files held against writers and let go: the hold, and the let-go, where every input's text
// is verified before anything is said of it (by its stamp and hold, or, read unheld, its print).
#include "runtime/io_result.h"
#include "runtime/line_file.h"

namespace kg {

namespace {

namespace pf = platform;

}  // namespace

bool LineFile::KeepsWritersOut() {
  return mode_ == Mode::kReading && pf::KeepsWritersOut(handle_) != 0;
}

void LineFile::VerifyAndLetGo() {
  if (mode_ != Mode::kReading || role_ != Role::kNamed) return;
  // Read again since its count, an input read unheld is verified by its bytes (see InputPrint).
  // Its size is compared first, so that a file grown or cut fails at once.
  const InputPrint::Check check = print_.CheckAtLetGo();
  const bool verified =
      pf::VerifyAndLetGo(handle_, check == InputPrint::Check::kStamp ? pf::VERIFY_SIZE_AND_TIME
                                                                     : pf::VERIFY_SIZE) != 0;
  if (!verified) {
    SetIoResult(static_cast<std::int32_t>(pf::GetLastError()));
  } else if (check == InputPrint::Check::kNotCounted) {
    SetIoResult(static_cast<std::int32_t>(pf::ERROR_SHARING_VIOLATION));
  } else if (check == InputPrint::Check::kPrint) {
    print_.ReadAgainAgrees(handle_);  // stores its code when it does not
  }
  print_.Stop();  // from now on the file is read only the normal way
}

}  // namespace kg
