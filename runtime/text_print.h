// The print of a text: a 64-bit hash of its bytes in their order, however they arrive.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/line_scan.h"

namespace kg {

// A 64-bit hash of a text's bytes, each at its offset, and of its length, taken as the bytes
// arrive: the pieces they come in change nothing, nor do the scan kernels chosen (line_scan.h).
// Two texts that differ in any byte, in order or in length give different prints but for a chance
// collision of the 64-bit value: enough to tell whether a file read twice gave the same text, not
// to stand against a text made to collide.
class TextPrint {
 public:
  TextPrint() { Reset(); }

  // Starts again from an empty text.
  void Reset();
  // Takes the next `count` bytes of the text.
  void Add(const char* bytes, std::size_t count);
  // The number of bytes taken so far.
  std::uint64_t length() const { return length_; }
  // The print of the bytes taken so far; more may be taken afterwards.
  std::uint64_t Value() const;

 private:
  alignas(32) std::uint64_t lanes_[scan::kPrintLanes];
  std::uint64_t stripes_;   // whole stripes folded into lanes_
  std::uint64_t length_;    // bytes taken: whole stripes and those of tail_
  std::size_t tail_count_;  // bytes of a stripe not yet whole, held in tail_
  char tail_[scan::kStripeBytes];
};

}  // namespace kg
