// The k_graft executable: the runtime's start-up, then the main sequence.
#include "app/main_sequence.h"
#include "runtime/process.h"

int main(int argc, char** argv) {
  kg::RunProgram(argc, argv, &kg::app::RunMainSequence);
}
