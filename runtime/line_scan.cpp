// The scan kernels for AVX2, SSE2, NEON, 64- and 32-bit words and plain bytes, and the one table
// they are chosen from per run.
#include "runtime/line_scan.h"

#include <cstring>

#if !defined(KG_PORTABLE_KERNELS)
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KG_SCAN_X86 1
#elif defined(__aarch64__) && defined(__ARM_NEON) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#include <arm_neon.h>
#define KG_SCAN_NEON 1
#endif
#endif

namespace kg::scan {

namespace {

// The keys of a print's stripes: stripe n of a round of kStripesPerRound takes the eight from
// kStripeKeys[n] on; after a round the lanes are scrambled with kScrambleKeys.
constexpr std::uint64_t kStripesPerRound = 16;
alignas(32) constexpr std::uint64_t kStripeKeys[kStripesPerRound + kPrintLanes] = {
    0x0CA9CAC8E5E39DD7ULL, 0xE6BF6205313DDA69ULL, 0x08022A4E0FB5E0ABULL, 0x1DD4E144D0A09D57ULL,
    0x2B3F44CA1514C763ULL, 0x2D57D26E4B589EFBULL, 0x527CB4E3AF6FFC9DULL, 0x406501A3EE177A9DULL,
    0xB8CB5EED14DBD6A3ULL, 0x1113C0498F6601E9ULL, 0x8A6EAACF7B8BEAEDULL, 0xAF91C4194F23508FULL,
    0x61F28511BA03BC11ULL, 0x40A9C4F025C21753ULL, 0xEE1E8ECB82895B17ULL, 0x5336E8C1B32DD745ULL,
    0x51A1536715A8711DULL, 0xD33EA537FC95C0F3ULL, 0xA1B5ED6D3C02B6A1ULL, 0xF5921D52C0651B01ULL,
    0x9D9ED9A1FBEC32D5ULL, 0x683359009B83C44DULL, 0x27D3E190C3BABBADULL, 0x4F71A05ECA1D1D01ULL};
alignas(32) constexpr std::uint64_t kScrambleKeys[kPrintLanes] = {
    0x7C027B16BE41B09DULL, 0xC9DF10D8C6BE5D6FULL, 0x7641CCC749BC9AFDULL, 0xD3D58AF30426C39BULL,
    0x0EBBFEC940E58A05ULL, 0x7674144E9B7406FFULL, 0xB72502F116C5BD63ULL, 0xFC4B710AA6878F45ULL};
constexpr std::uint32_t kScramblePrime = 0x9E3779B1u;

// The 8 bytes of a print's lane at `at`, the first in the low bits, on every processor.
inline std::uint64_t LoadLane(const char* at) {
  std::uint64_t lane;
  std::memcpy(&lane, at, sizeof lane);
  if constexpr (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) lane = __builtin_bswap64(lane);
  return lane;
}

// The trailing zero bits of a mask of either width (not 0).
inline int TrailingZeros(std::uint32_t mask) {
  return __builtin_ctz(mask);
}
inline int TrailingZeros(std::uint64_t mask) {
  return __builtin_ctzll(mask);
}

// The leading zero bits of a mask of either width (not 0).
inline int LeadingZeros(std::uint32_t mask) {
  return __builtin_clz(mask);
}
inline int LeadingZeros(std::uint64_t mask) {
  return __builtin_clzll(mask);
}

// Continues matching the candidate in `state` with the bytes from `at` (its `matched`th byte) on,
// up to `to`. The candidate becomes the marker or is dropped, or stays pending at `to`.
inline void MatchCandidate(const char* at, const char* to, std::string_view marker,
                           CountState& state) {
  while (state.matched < marker.size()) {
    if (at == to) return;
    if (*at++ != marker[state.matched]) {
      state.candidate = kNowhere;
      state.matched = 0;
      return;
    }
    ++state.matched;
  }
  state.marker = state.candidate;
  state.candidate = kNowhere;
  state.matched = 0;
}

// The bytes of a word kernel: an unsigned integer of 8 or 4 bytes, the byte at the lowest address
// in its low bits on every processor (loaded and stored byte-swapped on a big-endian one), so that
// a mask's lowest bit is its first byte everywhere.
namespace words {

template <typename Word>
constexpr Word kOnes = static_cast<Word>(~Word{0}) / 0xFF;  // 0x01 in every byte

template <typename Word>
inline Word LoadWord(const char* at) {
  Word word;
  std::memcpy(&word, at, sizeof word);
  if constexpr (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) {
    if constexpr (sizeof word == 8) word = __builtin_bswap64(word);
    if constexpr (sizeof word == 4) word = __builtin_bswap32(word);
  }
  return word;
}

template <typename Word>
inline void StoreWord(char* at, Word word) {
  if constexpr (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) {
    if constexpr (sizeof word == 8) word = __builtin_bswap64(word);
    if constexpr (sizeof word == 4) word = __builtin_bswap32(word);
  }
  std::memcpy(at, &word, sizeof word);
}

// Whether any byte of the `count` words at `words` is below 32. Exact as a yes or no: a byte
// that borrows in x - 0x20.. without being below 32 lies above one that is.
template <typename Word>
inline bool HoldsControl(const Word* words, int count) {
  Word below = 0;
  for (int i = 0; i < count; ++i) below |= (words[i] - kOnes<Word> * 0x20) & ~words[i];
  return (below & kOnes<Word> * 0x80) != 0;
}

// 0x80 in each byte of `x` that is zero, and nothing in the others. Exact, unlike the shorter
// (x - 0x01..) & ~x & 0x80.., which also marks a byte 1 above a zero byte: the low 7 bits of a
// byte added to 0x7F carry into its top bit unless they are all zero, and nothing carries out of
// a byte.
template <typename Word>
inline Word Zeros(Word x) {
  constexpr Word kLow7 = kOnes<Word> * 0x7F;
  return static_cast<Word>(~(((x & kLow7) + kLow7) | x | kLow7));
}

// The matches of a mask of byte top bits, summed in its top byte: no popcount instruction needed.
template <typename Word>
inline int CountOf(Word mask) {
  return static_cast<int>(static_cast<Word>((mask >> 7) * kOnes<Word>) >> (8 * sizeof mask - 8));
}

// The sum of the bytes of `x`: pairs of them summed in 16 bits, and those by a multiply.
template <typename Word>
inline int SumOfBytes(Word x) {
  constexpr Word kPairOnes = static_cast<Word>(~Word{0}) / 0xFFFF;  // 0x0001 in every 16 bits
  const Word pairs = (x & kPairOnes * 0xFF) + ((x >> 8) & kPairOnes * 0xFF);
  return static_cast<int>(static_cast<Word>(pairs * kPairOnes) >> (8 * sizeof x - 16));
}

// The mask of the bytes right after those of `mask`, the first byte's from `carry` (its top bit).
template <typename Word>
inline Word After(Word mask, Word carry) {
  return static_cast<Word>(mask << 8) | carry;
}

// The last byte of `x` moved to the first.
template <typename Word>
inline Word Carry(Word x) {
  return static_cast<Word>(x >> (8 * sizeof x - 8));
}

// The short comparison, for groups of words where no match is the rule: the top bit of each byte
// of the result is clear just where the byte of `x` is `byte`; the low bits mean nothing. `low` is
// x & 0x7F.. and `byte` a splat below 128: the low 7 bits of a byte differ when adding 0x7F to
// them carries into its top bit, and nothing carries out of a byte.
template <typename Word>
inline Word Differs(Word x, Word low, Word byte) {
  return ((low ^ byte) + kOnes<Word> * 0x7F) | x;
}

// The same for a splat `byte` of any value, given as its low 7 bits and its top bit.
template <typename Word>
inline Word DiffersFrom(Word x, Word low, Word byte_low, Word byte_top) {
  return ((low ^ byte_low) + kOnes<Word> * 0x7F) | (x ^ byte_top);
}

// The words of a group: the scans below take eight at once, without a branch, where that is all
// that canonical lines need, and take a group again word by word where it is not.
constexpr int kGroupWords = 8;

// How the count's quiet groups look for the marker: not at all, or for its first byte anywhere
// (which is rare but where a marker line starts: cheaper than asking whether a line starts
// there), a byte below 128 or not.
enum class Seek { kNot, kLowByte, kHighByte };

// The bytes from `at` of the whole groups before `at + most` that have no flaw and no byte 26,
// and unless kSeek is kNot not the byte `first` (a splat): the count's groups that need nothing
// but their LFs counted, which are added to `line_ends`. The byte before `at` must be readable:
// each word's flaws come from a load one byte before it, not from the word before.
template <typename Word, Seek kSeek>
[[gnu::noinline]] std::ptrdiff_t QuietCount(const char* at, std::ptrdiff_t most, Word first,
                                            std::uint64_t& line_ends) {
  constexpr std::ptrdiff_t kBytes = sizeof(Word);
  constexpr Word kLow7 = kOnes<Word> * 0x7F;
  constexpr Word kTops = kOnes<Word> * 0x80;
  constexpr int kMostGroups = 255 / kGroupWords;  // before a byte of `others` overflows
  const Word lf_byte = kOnes<Word> * '\n';
  const Word cr_byte = kOnes<Word> * '\r';
  const Word end_byte = kOnes<Word> * 26;
  const Word first_low = first & kLow7;
  const Word first_top = first & kTops;
  std::uint64_t lines = 0;
  Word others = 0;  // per byte place: the bytes there that are no LF, of `groups` groups
  int groups = 0;
  std::ptrdiff_t taken = 0;
  for (; most - taken >= kGroupWords * kBytes; taken += kGroupWords * kBytes) {
    Word quiet = ~Word{0};  // top bits set: no byte 26, and not the marker's first byte
    Word flaws = 0;
    Word group_others = 0;
#pragma GCC unroll 8
    for (int w = 0; w < kGroupWords; ++w) {
      const char* word = at + taken + w * kBytes;
      const Word x = LoadWord<Word>(word);
      const Word before = LoadWord<Word>(word - 1);
      const Word low = x & kLow7;
      const Word no_lf = Differs(x, low, lf_byte);
      quiet &= Differs(x, low, end_byte);
      group_others += (no_lf >> 7) & kOnes<Word>;
      // As `flaws` in CountWords' step, in these terms.
      flaws |= no_lf ^ Differs(before, before & kLow7, cr_byte);
      if constexpr (kSeek == Seek::kLowByte) quiet &= Differs(x, low, first_low);
      if constexpr (kSeek == Seek::kHighByte) quiet &= DiffersFrom(x, low, first_low, first_top);
    }
    if ((((quiet & kTops) ^ kTops) | (flaws & kTops)) != 0) break;
    others += group_others;
    if (++groups == kMostGroups) {
      lines += static_cast<std::uint64_t>(groups * kGroupWords * kBytes - SumOfBytes(others));
      others = 0;
      groups = 0;
    }
  }
  line_ends +=
      lines + static_cast<std::uint64_t>(groups * kGroupWords * kBytes - SumOfBytes(others));
  return taken;
}

// CountScan's word steps over [from, to), which lies at file offset `offset`: quiet groups at
// once, the others word by word, up to the first word with a byte 26, which is left to the byte
// loop with `state` as it was before it. Returns where they stopped.
template <typename Word>
const char* CountWords(const char* from, const char* to, std::uint64_t offset,
                       std::string_view marker, CountState& state) {
  constexpr std::ptrdiff_t kBytes = sizeof(Word);
  const Word lf_byte = kOnes<Word> * '\n';
  const Word cr_byte = kOnes<Word> * '\r';
  const Word end_byte = kOnes<Word> * 26;
  const Word first_byte = kOnes<Word> * static_cast<unsigned char>(marker.empty() ? 0 : marker[0]);
  bool seeking = !marker.empty() && state.marker == kNowhere && state.candidate == kNowhere;
  Word after_lf = state.after_lf ? 0x80 : 0;  // a carry into the next word's first byte
  Word after_cr = state.after_cr ? 0x80 : 0;
  std::uint64_t line_ends = 0;
  Word last_flaws = 0;  // the flaws of the last word that had some, at last_base
  std::uint64_t last_base = 0;
  // One word: false, and nothing changed, where it holds a byte 26.
  auto step = [&](const char* word, Word x) __attribute__((always_inline)) {
    const Word lf = Zeros<Word>(x ^ lf_byte);
    const Word cr = Zeros<Word>(x ^ cr_byte);
    if (Zeros<Word>(x ^ end_byte) != 0) return false;
    line_ends += static_cast<std::uint64_t>(CountOf(lf));
    const std::uint64_t base = offset + static_cast<std::uint64_t>(word - from);
    // Byte i: an LF while byte i - 1 is no CR, or the other way round.
    if (const Word flaws = lf ^ After(cr, after_cr); flaws != 0) {
      if (state.first_flaw == kNowhere) {
        state.first_flaw = base + static_cast<std::uint64_t>(TrailingZeros(flaws) / 8);
      }
      last_flaws = flaws;
      last_base = base;
      const Word lone = flaws & ~lf;  // byte i: byte i - 1 is a lone CR
      if (lone != 0 && state.first_lone_cr == kNowhere) {
        state.first_lone_cr = base + static_cast<std::uint64_t>(TrailingZeros(lone) / 8) - 1;
      }
    }
    if (seeking) {
      Word candidates = After(lf, after_lf) & Zeros<Word>(x ^ first_byte);
      for (; candidates != 0 && seeking; candidates &= candidates - 1) {
        const int i = TrailingZeros(candidates) / 8;
        state.candidate = base + static_cast<std::uint64_t>(i);
        MatchCandidate(word + i, to, marker, state);
        seeking = state.marker == kNowhere && state.candidate == kNowhere;
      }
    }
    after_lf = Carry(lf);
    after_cr = Carry(cr);
    return true;
  };
  const Seek seek = !seeking                                       ? Seek::kNot
                    : static_cast<unsigned char>(marker[0]) < 0x80 ? Seek::kLowByte
                                                                   : Seek::kHighByte;
  const char* at = from;
  while (to - at >= kGroupWords * kBytes) {
    if (at != from) {  // the byte before is readable
      std::ptrdiff_t quiet = 0;
      if (!seeking) {
        quiet = QuietCount<Word, Seek::kNot>(at, to - at, first_byte, line_ends);
      } else if (seek == Seek::kLowByte) {
        quiet = QuietCount<Word, Seek::kLowByte>(at, to - at, first_byte, line_ends);
      } else {
        quiet = QuietCount<Word, Seek::kHighByte>(at, to - at, first_byte, line_ends);
      }
      if (quiet > 0) {
        at += quiet;
        after_lf = at[-1] == '\n' ? 0x80 : 0;
        after_cr = at[-1] == '\r' ? 0x80 : 0;
      }
      if (to - at < kGroupWords * kBytes) break;
    }
    // A group that needs more, word by word.
    int w = 0;
    while (w < kGroupWords && step(at, LoadWord<Word>(at))) {
      ++w;
      at += kBytes;
    }
    if (w < kGroupWords) break;  // at its word with the byte 26
  }
  state.line_ends += line_ends;
  state.after_lf = after_lf != 0;
  state.after_cr = after_cr != 0;
  if (last_flaws != 0) {
    state.last_flaw =
        last_base + static_cast<std::uint64_t>((8 * kBytes - 1 - LeadingZeros(last_flaws)) / 8);
  }
  return at;
}

// The bytes from `at` of the whole groups before `at + most` where a run of lines needs nothing
// done, as FindRunStop tells stops (`first` is its, or -1; `kCopying` its `copying`), and that do
// not end in a CR. The byte before `at` must be readable, and no CR: each word's line starts and
// flaws come from a load one byte before it.
template <typename Word, bool kFirst, bool kCopying>
[[gnu::noinline]] std::ptrdiff_t QuietGroups(const char* at, std::ptrdiff_t most, int first) {
  constexpr std::ptrdiff_t kBytes = sizeof(Word);
  constexpr Word kLow7 = kOnes<Word> * 0x7F;
  constexpr Word kTops = kOnes<Word> * 0x80;
  const Word lf_byte = kOnes<Word> * '\n';
  const Word cr_byte = kOnes<Word> * '\r';
  const Word end_byte = kOnes<Word> * 26;
  const Word first_low = kOnes<Word> * static_cast<unsigned char>(first) & kLow7;
  const Word first_top = kOnes<Word> * static_cast<unsigned char>(first) & kTops;
  std::ptrdiff_t taken = 0;
  for (; most - taken >= kGroupWords * kBytes; taken += kGroupWords * kBytes) {
    Word quiet = ~Word{0};  // top bits set: no stop
#pragma GCC unroll 8
    for (int w = 0; w < kGroupWords; ++w) {
      const char* word = at + taken + w * kBytes;
      const Word x = LoadWord<Word>(word);
      const Word before = LoadWord<Word>(word - 1);
      const Word low = x & kLow7;
      const Word before_low = before & kLow7;
      quiet &= Differs(x, low, end_byte);
      if constexpr (kFirst) {  // no line starts with a CR or the byte `first`
        quiet &= Differs(before, before_low, lf_byte) |
                 (Differs(x, low, cr_byte) & DiffersFrom(x, low, first_low, first_top));
      }
      if constexpr (kCopying) {  // an LF just after a CR, and a CR just before an LF
        quiet &= ~(Differs(x, low, lf_byte) ^ Differs(before, before_low, cr_byte));
      }
    }
    if ((quiet & kTops) != kTops || at[taken + kGroupWords * kBytes - 1] == '\r') break;
  }
  return taken;
}

// QuietGroups for `first` and `copying` known only at run time.
template <typename Word>
std::ptrdiff_t QuietBytes(const char* at, std::ptrdiff_t most, int first, bool copying) {
  if (first >= 0) {
    return copying ? QuietGroups<Word, true, true>(at, most, first)
                   : QuietGroups<Word, true, false>(at, most, first);
  }
  return copying ? QuietGroups<Word, false, true>(at, most, first)
                 : QuietGroups<Word, false, false>(at, most, first);
}

// FindRunStop's word steps from `at` on while a group is left; `after_lf` and `after_cr` tell of
// the byte before `at`. Returns the stop, or null when there is none before the returned `at`,
// with `after_lf` and `after_cr` brought up to it.
template <typename Word>
const char* RunStopWords(const char*& at, const char* to, bool& line_start, bool& cr_before,
                         int first, bool copying) {
  constexpr std::ptrdiff_t kBytes = sizeof(Word);
  constexpr Word kLastByte = static_cast<Word>(Word{0x80} << (8 * kBytes - 8));
  const Word lf_byte = kOnes<Word> * '\n';
  const Word cr_byte = kOnes<Word> * '\r';
  const Word end_byte = kOnes<Word> * 26;
  const Word first_byte = kOnes<Word> * static_cast<unsigned char>(first);
  Word after_lf = line_start ? 0x80 : 0;
  Word after_cr = cr_before ? 0x80 : 0;
  const char* stop = nullptr;
  const char* const from = at;
  while (to - at >= kGroupWords * kBytes) {
    if (at != from && after_cr == 0) {  // the byte before is readable, and no CR
      if (const std::ptrdiff_t quiet = QuietBytes<Word>(at, to - at, first, copying); quiet > 0) {
        at += quiet;
        after_lf = at[-1] == '\n' ? 0x80 : 0;
      }
      if (to - at < kGroupWords * kBytes) break;
    }
    for (int w = 0; w < kGroupWords; ++w, at += kBytes) {
      const Word x = LoadWord<Word>(at);
      const Word lf = Zeros<Word>(x ^ lf_byte);
      const Word cr = Zeros<Word>(x ^ cr_byte);
      Word stops = Zeros<Word>(x ^ end_byte);
      if (first >= 0) stops |= After(lf, after_lf) & (cr | Zeros<Word>(x ^ first_byte));
      if (copying) {
        Word lf_after = lf >> 8;
        if (to - at > kBytes && at[kBytes] == '\n') lf_after |= kLastByte;
        stops |= (lf & ~After(cr, after_cr)) | (cr & ~lf_after);
      }
      if (stops != 0) {
        stop = at + TrailingZeros(stops) / 8;
        goto done;
      }
      after_lf = Carry(lf);
      after_cr = Carry(cr);
    }
  }
done:
  line_start = after_lf != 0;
  cr_before = after_cr != 0;
  return stop;
}

}  // namespace words

}  // namespace

namespace plain {
// No vector code: the kernels' byte loops do all. The vector steps below are never reached.
using Vector = char;
using Mask = std::uint32_t;
constexpr int kWidth = 0;
constexpr int kMaskBits = 1;
constexpr Mask kMatch = 1;
#define KG_SCAN_TARGET
inline Vector Load(const char* at) {
  return *at;
}
inline Vector Splat(char byte) {
  return byte;
}
inline void Store(char* at, Vector bytes) {
  *at = bytes;
}
inline Vector Equal(Vector bytes, Vector want) {
  return bytes == want;
}
inline Vector Or(Vector a, Vector b) {
  return a | b;
}
inline Mask MaskOf(Vector equal) {
  return static_cast<Mask>(equal);
}
inline bool HoldsControl(const Vector*, int) {  // words only
  return true;
}
inline int CountOf(std::uint64_t mask) {
  return __builtin_popcountll(mask);
}
inline Vector Xor(Vector a, Vector) {
  return a;
}
inline Vector Add64(Vector a, Vector) {
  return a;
}
inline Vector SwapPairs(Vector a) {
  return a;
}
inline Vector MultiplyHalves(Vector a) {
  return a;
}
inline Vector Scramble(Vector a, Vector) {
  return a;
}
#include "runtime/line_scan_kernels.inc"
#undef KG_SCAN_TARGET
}  // namespace plain

// The word kernels, one 64- or 32-bit word a step: what every processor without vector kernels
// runs. A mask has a byte's top bit for each byte that matches (see words::Zeros). The print folds
// one lane at a time, as the plain kernel does.
#define KG_WORD_KERNELS(Word)                                                         \
  using Vector = Word;                                                                \
  using Mask = Word;                                                                  \
  constexpr int kWidth = sizeof(Word);                                                \
  constexpr int kMaskBits = 8;                                                        \
  constexpr Mask kMatch = 0x80;                                                       \
  inline Vector Load(const char* at) {                                                \
    return words::LoadWord<Word>(at);                                                 \
  }                                                                                   \
  inline Vector Splat(char byte) {                                                    \
    return static_cast<Word>(words::kOnes<Word> * static_cast<unsigned char>(byte));  \
  }                                                                                   \
  inline void Store(char* at, Vector bytes) {                                         \
    words::StoreWord<Word>(at, bytes);                                                \
  }                                                                                   \
  inline Vector Equal(Vector bytes, Vector want) {                                    \
    return words::Zeros<Word>(bytes ^ want);                                          \
  }                                                                                   \
  inline Vector Or(Vector a, Vector b) {                                              \
    return a | b;                                                                     \
  }                                                                                   \
  inline Mask MaskOf(Vector equal) {                                                  \
    return equal;                                                                     \
  }                                                                                   \
  inline bool HoldsControl(const Vector* words, int count) {                          \
    return words::HoldsControl<Word>(words, count);                                   \
  }                                                                                   \
  /* The top bits of bytes summed in the top byte: no popcount instruction needed. */ \
  inline int CountOf(std::uint64_t mask) {                                            \
    return static_cast<int>(((mask >> 7) * words::kOnes<std::uint64_t>) >> 56);       \
  }                                                                                   \
  inline Vector Xor(Vector a, Vector) {                                               \
    return a;                                                                         \
  }                                                                                   \
  inline Vector Add64(Vector a, Vector) {                                             \
    return a;                                                                         \
  }                                                                                   \
  inline Vector SwapPairs(Vector a) {                                                 \
    return a;                                                                         \
  }                                                                                   \
  inline Vector MultiplyHalves(Vector a) {                                            \
    return a;                                                                         \
  }                                                                                   \
  inline Vector Scramble(Vector a, Vector) {                                          \
    return a;                                                                         \
  }

namespace word64 {
KG_WORD_KERNELS(std::uint64_t)
#define KG_SCAN_TARGET
#include "runtime/line_scan_kernels.inc"
#undef KG_SCAN_TARGET
}  // namespace word64

// Held by every build, so that the 32-bit words are tested on 64-bit processors too; chosen by
// default on 32-bit ones.
namespace word32 {
KG_WORD_KERNELS(std::uint32_t)
#define KG_SCAN_TARGET
#include "runtime/line_scan_kernels.inc"
#undef KG_SCAN_TARGET
}  // namespace word32
#undef KG_WORD_KERNELS

#if defined(KG_SCAN_X86)
// Compiled for SSE2 whatever the build's baseline (32-bit x86 has none), and chosen where it runs.
namespace sse2 {
using Vector = __m128i;
using Mask = std::uint32_t;
constexpr int kWidth = 16;
constexpr int kMaskBits = 1;
constexpr Mask kMatch = 1;
#define KG_SCAN_TARGET __attribute__((target("sse2")))
KG_SCAN_TARGET inline Vector Load(const char* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}
KG_SCAN_TARGET inline Vector Splat(char byte) {
  return _mm_set1_epi8(byte);
}
KG_SCAN_TARGET inline void Store(char* at, Vector bytes) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(at), bytes);
}
KG_SCAN_TARGET inline Vector Equal(Vector bytes, Vector want) {
  return _mm_cmpeq_epi8(bytes, want);
}
KG_SCAN_TARGET inline Vector Or(Vector a, Vector b) {
  return _mm_or_si128(a, b);
}
KG_SCAN_TARGET inline Mask MaskOf(Vector equal) {
  return static_cast<Mask>(_mm_movemask_epi8(equal));
}
KG_SCAN_TARGET inline bool HoldsControl(const Vector*, int) {  // words only
  return true;
}
KG_SCAN_TARGET inline int CountOf(std::uint64_t mask) {
  return __builtin_popcountll(mask);
}
KG_SCAN_TARGET inline Vector Xor(Vector a, Vector b) {
  return _mm_xor_si128(a, b);
}
KG_SCAN_TARGET inline Vector Add64(Vector a, Vector b) {
  return _mm_add_epi64(a, b);
}
// Each pair of 64-bit lanes swapped.
KG_SCAN_TARGET inline Vector SwapPairs(Vector a) {
  return _mm_shuffle_epi32(a, _MM_SHUFFLE(1, 0, 3, 2));
}
// Each 64-bit lane's low half times its high half.
KG_SCAN_TARGET inline Vector MultiplyHalves(Vector a) {
  return _mm_mul_epu32(a, _mm_shuffle_epi32(a, _MM_SHUFFLE(2, 3, 0, 1)));
}
// Each 64-bit lane: shifted into itself, keyed, multiplied by kScramblePrime.
KG_SCAN_TARGET inline Vector Scramble(Vector a, Vector key) {
  a = _mm_xor_si128(_mm_xor_si128(a, _mm_srli_epi64(a, 47)), key);
  const Vector prime = _mm_set1_epi32(static_cast<int>(kScramblePrime));
  return _mm_add_epi64(_mm_mul_epu32(a, prime),
                       _mm_slli_epi64(_mm_mul_epu32(_mm_srli_epi64(a, 32), prime), 32));
}
#include "runtime/line_scan_kernels.inc"
#undef KG_SCAN_TARGET
}  // namespace sse2

namespace avx2 {
using Vector = __m256i;
using Mask = std::uint32_t;
constexpr int kWidth = 32;
constexpr int kMaskBits = 1;
constexpr Mask kMatch = 1;
// Every processor with AVX2 has POPCNT too, which the count's LF masks take.
#define KG_SCAN_TARGET __attribute__((target("avx2,popcnt")))
KG_SCAN_TARGET inline Vector Load(const char* at) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
}
KG_SCAN_TARGET inline Vector Splat(char byte) {
  return _mm256_set1_epi8(byte);
}
KG_SCAN_TARGET inline void Store(char* at, Vector bytes) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(at), bytes);
}
KG_SCAN_TARGET inline Vector Equal(Vector bytes, Vector want) {
  return _mm256_cmpeq_epi8(bytes, want);
}
KG_SCAN_TARGET inline Vector Or(Vector a, Vector b) {
  return _mm256_or_si256(a, b);
}
KG_SCAN_TARGET inline Mask MaskOf(Vector equal) {
  return static_cast<Mask>(_mm256_movemask_epi8(equal));
}
KG_SCAN_TARGET inline bool HoldsControl(const Vector*, int) {  // words only
  return true;
}
KG_SCAN_TARGET inline int CountOf(std::uint64_t mask) {
  return __builtin_popcountll(mask);
}
KG_SCAN_TARGET inline Vector Xor(Vector a, Vector b) {
  return _mm256_xor_si256(a, b);
}
KG_SCAN_TARGET inline Vector Add64(Vector a, Vector b) {
  return _mm256_add_epi64(a, b);
}
KG_SCAN_TARGET inline Vector SwapPairs(Vector a) {
  return _mm256_shuffle_epi32(a, _MM_SHUFFLE(1, 0, 3, 2));
}
KG_SCAN_TARGET inline Vector MultiplyHalves(Vector a) {
  return _mm256_mul_epu32(a, _mm256_shuffle_epi32(a, _MM_SHUFFLE(2, 3, 0, 1)));
}
KG_SCAN_TARGET inline Vector Scramble(Vector a, Vector key) {
  a = _mm256_xor_si256(_mm256_xor_si256(a, _mm256_srli_epi64(a, 47)), key);
  const Vector prime = _mm256_set1_epi32(static_cast<int>(kScramblePrime));
  return _mm256_add_epi64(_mm256_mul_epu32(a, prime),
                          _mm256_slli_epi64(_mm256_mul_epu32(_mm256_srli_epi64(a, 32), prime), 32));
}
#include "runtime/line_scan_kernels.inc"
#undef KG_SCAN_TARGET
}  // namespace avx2
#endif

#if defined(KG_SCAN_NEON)
// Every aarch64 processor has NEON: no check at run time. NEON has no move-mask: a narrowing shift
// of each 16-bit lane by 4 packs the 16 compared bytes into 64 bits, 4 bits a byte.
namespace neon {
using Vector = uint8x16_t;
using Mask = std::uint64_t;
constexpr int kWidth = 16;
constexpr int kMaskBits = 4;
constexpr Mask kMatch = 0xF;
#define KG_SCAN_TARGET
inline Vector Load(const char* at) {
  return vld1q_u8(reinterpret_cast<const std::uint8_t*>(at));
}
inline Vector Splat(char byte) {
  return vdupq_n_u8(static_cast<std::uint8_t>(byte));
}
inline void Store(char* at, Vector bytes) {
  vst1q_u8(reinterpret_cast<std::uint8_t*>(at), bytes);
}
inline Vector Equal(Vector bytes, Vector want) {
  return vceqq_u8(bytes, want);
}
inline Vector Or(Vector a, Vector b) {
  return vorrq_u8(a, b);
}
inline Mask MaskOf(Vector equal) {
  return vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(equal), 4)), 0);
}
inline int CountOf(std::uint64_t mask) {
  return __builtin_popcountll(mask) >> 2;
}
inline bool HoldsControl(const Vector*, int) {  // words only
  return true;
}
inline Vector Xor(Vector a, Vector b) {
  return veorq_u8(a, b);
}
inline Vector Add64(Vector a, Vector b) {
  return vreinterpretq_u8_u64(vaddq_u64(vreinterpretq_u64_u8(a), vreinterpretq_u64_u8(b)));
}
inline Vector SwapPairs(Vector a) {
  return vextq_u8(a, a, 8);
}
inline Vector MultiplyHalves(Vector a) {
  const uint64x2_t lanes = vreinterpretq_u64_u8(a);
  return vreinterpretq_u8_u64(vmull_u32(vmovn_u64(lanes), vshrn_n_u64(lanes, 32)));
}
inline Vector Scramble(Vector a, Vector key) {
  uint64x2_t lanes = vreinterpretq_u64_u8(a);
  lanes = veorq_u64(veorq_u64(lanes, vshrq_n_u64(lanes, 47)), vreinterpretq_u64_u8(key));
  const uint32x2_t prime = vdup_n_u32(kScramblePrime);
  const uint64x2_t low = vmull_u32(vmovn_u64(lanes), prime);
  const uint64x2_t high = vmull_u32(vshrn_n_u64(lanes, 32), prime);
  return vreinterpretq_u8_u64(vaddq_u64(low, vshlq_n_u64(high, 32)));
}
#include "runtime/line_scan_kernels.inc"
#undef KG_SCAN_TARGET
}  // namespace neon
#endif

namespace {

// The kernels of one set; all null for a set this build does not hold.
struct KernelSet {
  decltype(&plain::CountScan) count_scan;
  decltype(&plain::FindRunStop) find_run_stop;
  decltype(&plain::CopyRun) copy_run;
  decltype(&plain::FindFirstOf) find_first_of;
  decltype(&plain::PrintStripes) print_stripes;
};

#define KG_KERNEL_SET(set)                                                              \
  KernelSet {                                                                           \
    set::CountScan, set::FindRunStop, set::CopyRun, set::FindFirstOf, set::PrintStripes \
  }

// The sets by Kernels value.
constexpr KernelSet kKernelSets[] = {
#if defined(KG_SCAN_X86)
    KG_KERNEL_SET(avx2),   KG_KERNEL_SET(sse2),
#else
    KernelSet{},           KernelSet{},
#endif
#if defined(KG_SCAN_NEON)
    KG_KERNEL_SET(neon),
#else
    KernelSet{},
#endif
    KG_KERNEL_SET(word64), KG_KERNEL_SET(word32), KG_KERNEL_SET(plain),
};

// Whether this build holds `kernels` and this processor runs them.
bool Runs(Kernels kernels) {
  if (kKernelSets[static_cast<int>(kernels)].count_scan == nullptr) return false;
#if defined(KG_SCAN_X86)
  __builtin_cpu_init();
  if (kernels == Kernels::kAvx2) {
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
  }
  if (kernels == Kernels::kSse2) return __builtin_cpu_supports("sse2");
#endif
  return true;
}

// The fastest kernels this build holds and this processor runs, asked once: a vector set, else
// the word of the processor's width.
Kernels Fastest() {
  static const Kernels fastest = [] {
    for (Kernels kernels : {Kernels::kAvx2, Kernels::kSse2, Kernels::kNeon}) {
      if (Runs(kernels)) return kernels;
    }
    return sizeof(void*) >= 8 ? Kernels::kWord64 : Kernels::kWord32;
  }();
  return fastest;
}

Kernels used = Kernels::kPlain;
const KernelSet* chosen = nullptr;

// The kernels the scans use: the fastest, unless UseKernels chose others.
const KernelSet& Chosen() {
  if (chosen == nullptr) {
    used = Fastest();
    chosen = &kKernelSets[static_cast<int>(used)];
  }
  return *chosen;
}

}  // namespace

bool UseKernels(Kernels kernels) {
  if (!Runs(kernels)) return false;
  used = kernels;
  chosen = &kKernelSets[static_cast<int>(kernels)];
  return true;
}

Kernels UsedKernels() {
  Chosen();
  return used;
}

const char* KernelsName(Kernels kernels) {
  static constexpr const char* kNames[] = {"avx2", "sse2", "neon", "word64", "word32", "plain"};
  return kNames[static_cast<int>(kernels)];
}

const char* CountScan(const char* from, const char* to, std::uint64_t offset,
                      std::string_view marker, CountState& state) {
  return Chosen().count_scan(from, to, offset, marker, state);
}

std::uint64_t FinishCount(std::uint64_t end, CountState& state) {
  std::uint64_t lines = state.line_ends;
  if (!state.after_lf) {  // the last line has no line end (a CR alone is none)
    ++lines;
    if (state.first_flaw == kNowhere) state.first_flaw = end - 1;
    state.last_flaw = end - 1;
  }
  if (state.after_cr && state.first_lone_cr == kNowhere) state.first_lone_cr = end - 1;
  state.candidate = kNowhere;  // a line start that the text's end cut short is no marker
  state.matched = 0;
  return lines;
}

const char* FindRunStop(const char* from, const char* to, bool line_start, int first,
                        bool copying) {
  return Chosen().find_run_stop(from, to, line_start, first, copying);
}

std::size_t CopyRun(const char* from, const char* to, bool line_start, int first, char* out,
                    std::size_t room, std::size_t* put) {
  return Chosen().copy_run(from, to, line_start, first, out, room, put);
}

const char* FindFirstOf(const char* from, const char* to, char a, char b, char c) {
  return Chosen().find_first_of(from, to, a, b, c);
}

void PrintStripes(std::uint64_t* lanes, const char* from, std::size_t stripes,
                  std::uint64_t first) {
  Chosen().print_stripes(lanes, from, stripes, first);
}

}  // namespace kg::scan
