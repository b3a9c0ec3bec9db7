// The two console streams, owned by the runtime for the whole process.
#include "runtime/console.h"

namespace kg {

LineFile& StandardInput() {
  static LineFile stream(LineFile::Role::kStandardInput);
  return stream;
}

LineFile& StandardOutput() {
  static LineFile stream(LineFile::Role::kStandardOutput);
  return stream;
}

}  // namespace kg
