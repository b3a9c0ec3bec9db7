// The print of a text: whole stripes go to the scan kernels, a stripe cut by a piece waits whole.
#include "runtime/text_print.h"

#include <cstring>

namespace kg {

namespace {

constexpr std::uint64_t kLengthPrime = 0x9E3779B185EBCA87ULL;
constexpr std::uint64_t kFoldKeys[scan::kPrintLanes] = {
    0x6A09E667F3BCC908ULL, 0xBB67AE8584CAA73BULL, 0x3C6EF372FE94F82BULL, 0xA54FF53A5F1D36F1ULL,
    0x510E527FADE682D1ULL, 0x9B05688C2B3E6C1FULL, 0x1F83D9ABFB41BD6BULL, 0x5BE0CD19137E2179ULL};

// The 128-bit product of `a` and `b`, its high half folded onto its low half.
std::uint64_t MultiplyFold(std::uint64_t a, std::uint64_t b) {
  const std::uint64_t a_low = a & 0xFFFFFFFFu, a_high = a >> 32;
  const std::uint64_t b_low = b & 0xFFFFFFFFu, b_high = b >> 32;
  const std::uint64_t low_low = a_low * b_low, low_high = a_low * b_high;
  const std::uint64_t high_low = a_high * b_low, high_high = a_high * b_high;
  const std::uint64_t middle = (low_low >> 32) + (low_high & 0xFFFFFFFFu) + high_low;
  const std::uint64_t high = high_high + (low_high >> 32) + (middle >> 32);
  const std::uint64_t low = (middle << 32) | (low_low & 0xFFFFFFFFu);
  return high ^ low;
}

// Spreads every bit of `h` over the whole value.
std::uint64_t Avalanche(std::uint64_t h) {
  h ^= h >> 37;
  h *= 0x165667919E3779F9ULL;
  return h ^ (h >> 32);
}

}  // namespace

void TextPrint::Reset() {
  for (std::size_t i = 0; i < scan::kPrintLanes; ++i) lanes_[i] = kFoldKeys[i] ^ kLengthPrime;
  stripes_ = 0;
  length_ = 0;
  tail_count_ = 0;
}

void TextPrint::Add(const char* bytes, std::size_t count) {
  length_ += count;
  if (tail_count_ > 0) {
    std::size_t part = scan::kStripeBytes - tail_count_;
    if (part > count) part = count;
    std::memcpy(tail_ + tail_count_, bytes, part);
    tail_count_ += part;
    bytes += part;
    count -= part;
    if (tail_count_ < scan::kStripeBytes) return;
    scan::PrintStripes(lanes_, tail_, 1, stripes_++);
    tail_count_ = 0;
  }
  const std::size_t whole = count / scan::kStripeBytes;
  if (whole > 0) {
    scan::PrintStripes(lanes_, bytes, whole, stripes_);
    stripes_ += whole;
    bytes += whole * scan::kStripeBytes;
    count -= whole * scan::kStripeBytes;
  }
  std::memcpy(tail_, bytes, count);
  tail_count_ = count;
}

std::uint64_t TextPrint::Value() const {
  alignas(32) std::uint64_t lanes[scan::kPrintLanes];
  std::memcpy(lanes, lanes_, sizeof lanes);
  if (tail_count_ > 0) {  // the last stripe, filled up with zeros (the length tells them apart)
    char last[scan::kStripeBytes] = {};
    std::memcpy(last, tail_, tail_count_);
    scan::PrintStripes(lanes, last, 1, stripes_);
  }
  std::uint64_t h = length_ * kLengthPrime;
  for (std::size_t i = 0; i < scan::kPrintLanes; i += 2) {
    h += MultiplyFold(lanes[i] ^ kFoldKeys[i], lanes[i + 1] ^ kFoldKeys[i + 1]);
    h = (h << 23 | h >> 41) * kLengthPrime;
  }
  return Avalanche(h);
}

}  // namespace kg
