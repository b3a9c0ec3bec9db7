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

void ShowOutputBeforeWaiting() {
  LineFile& out = StandardOutput();
  if (!out.HoldsPendingText()) return;  // nothing held: standard input need not even be asked
  if (StandardInput().ReadsFromTerminal()) out.WriteOut();
}

}  // namespace kg
