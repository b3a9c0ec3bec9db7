// The byte scans under the line files: where a line or a run of lines needs action, the count, and
// the stripes of an input's print.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kg::scan {

// An offset that no file reaches.
constexpr std::uint64_t kNowhere = ~std::uint64_t{0};

// The kernel sets of the scans, fastest first: x86's AVX2 and SSE2, aarch64's NEON, 8 or 4 bytes
// at a time in a 64- or 32-bit word, and one byte at a time. A build holds the vector sets of its
// processor family (none when built with KG_PORTABLE_KERNELS) and every portable one. By default
// the scans use the first set held that this processor runs, chosen at the first scan (the word
// of the processor's width where there is no vector set); every scan below uses the set chosen.
enum class Kernels { kAvx2, kSse2, kNeon, kWord64, kWord32, kPlain };

// Every set, the byte loop first and the fastest last (for tests and fuzzers, which compare them).
constexpr Kernels kEveryKernels[] = {Kernels::kPlain, Kernels::kWord32, Kernels::kWord64,
                                     Kernels::kNeon,  Kernels::kSse2,   Kernels::kAvx2};

// Makes the scans use `kernels` from now on (for tests, which try each). False, and no change, when
// this build does not hold them or this processor cannot run them.
bool UseKernels(Kernels kernels);

// The set the scans use now, and a set's name ("avx2", "sse2", "neon", "word64", "word32",
// "plain").
Kernels UsedKernels();
const char* KernelsName(Kernels kernels);

// What the count pass has learned of a file read from its first byte. A flaw is a byte where the
// text departs from canonical lines: an LF without a CR before it, a CR without an LF after it, or
// (see FinishCount) a last line without a line end.
struct CountState {
  std::uint64_t line_ends = 0;             // LFs seen
  bool after_lf = true;                    // the next byte starts a line
  bool after_cr = false;                   // the byte before the next one is a CR
  std::uint64_t first_flaw = kNowhere;     // offset of the first flaw
  std::uint64_t last_flaw = kNowhere;      // offset of the last flaw
  std::uint64_t first_lone_cr = kNowhere;  // offset of the first CR without an LF after it
  std::uint64_t marker = kNowhere;     // start of the first line whose bytes begin with the marker
  std::uint64_t candidate = kNowhere;  // a line start whose first bytes matched so far ...
  std::size_t matched = 0;             // ... this many of the marker's
};

// Scans [from, to), which lies at file offset `offset` and follows the bytes already scanned into
// `state`, up to its first byte 26. Returns that byte, or `to`. `marker` (no CR, LF or 26 in it)
// is searched as the raw first bytes of a line; an empty marker is never found.
const char* CountScan(const char* from, const char* to, std::uint64_t offset,
                      std::string_view marker, CountState& state);

// Ends the count at the end of the text, at file offset `end`: a last line without line end is
// counted and is a flaw. Returns the number of lines.
std::uint64_t FinishCount(std::uint64_t end, CountState& state);

// The first byte in [from, to) where a run of lines needs action, or `to`: a byte 26; at a line
// start (at `from` when `line_start`, else right after an LF) a CR or the byte `first` (none when
// `first` is negative); and when `copying`, an LF without a CR right before it (`from` itself
// never follows a CR) and a CR without an LF right after it in [from, to).
const char* FindRunStop(const char* from, const char* to, bool line_start, int first, bool copying);

// The first byte in [from, to) equal to `a`, `b` or `c`, or `to` when there is none.
const char* FindFirstOf(const char* from, const char* to, char a, char b, char c);

// Copies the run of lines that starts at `from` into `out`, which has room for `room` bytes, as
// it is written: an LF without a CR right before it becomes CR LF. Stops before the first byte
// where FindRunStop (copying) would stop but for such LFs, or earlier: the word and vector code
// leave the last bytes of [from, to) and the last bytes of room to the caller. Returns how many
// bytes it took; *put tells how many it wrote. Takes nothing in the byte loop alone.
std::size_t CopyRun(const char* from, const char* to, bool line_start, int first, char* out,
                    std::size_t room, std::size_t* put);

// The bytes of one stripe of a print (see TextPrint), and the lanes that a print folds stripes
// into.
constexpr std::size_t kStripeBytes = 64;
constexpr std::size_t kPrintLanes = 8;

// Folds the `stripes` whole stripes of kStripeBytes at `from` into `lanes`; the first of them is
// stripe number `first` of the text (its offset divided by kStripeBytes). What the lanes become
// depends only on the bytes, their stripe numbers and the lanes before, whatever kernels run.
void PrintStripes(std::uint64_t* lanes, const char* from, std::size_t stripes, std::uint64_t first);

}  // namespace kg::scan
