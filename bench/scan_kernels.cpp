// Prints the name of the scan kernel set that the k_graft built beside it runs on this processor
// (the benchmark's heading names it).
#include <cstdio>

#include "runtime/line_scan.h"

// Writes the name and a line end; exits 0.
int main() {
  std::printf("%s\n", kg::scan::KernelsName(kg::scan::UsedKernels()));
  return 0;
}
