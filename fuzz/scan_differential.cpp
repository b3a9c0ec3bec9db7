// Compares every scan kernel set this build holds with the plain byte loop: the count, the run
// stops, the copy of runs, the first-of search and the print's stripes, on one text at every
// alignment in a 64-byte window.
//
// Built two ways: as a libFuzzer harness (the text is the input; the first byte chooses the cut of
// the count in two), and with KG_SCAN_DIFFERENTIAL_MAIN as a plain program that runs a fixed
// number of pseudo-random texts from a fixed seed (`scan_differential [texts]`), for builds
// without libFuzzer and for emulators. Both stop at the first difference, naming it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/line_scan.h"

namespace {

namespace scan = kg::scan;

// Ends the run naming what differs, the kernels and the text.
void Differ(const char* what, scan::Kernels kernels, std::string_view text, std::size_t at) {
  std::fprintf(stderr, "scan_differential: %s differs: kernels %s, offset %zu, %zu bytes:", what,
               scan::KernelsName(kernels), at, text.size());
  for (unsigned char c : text) std::fprintf(stderr, " %02x", c);
  std::fprintf(stderr, "\n");
  std::abort();
}

bool SameState(const scan::CountState& a, const scan::CountState& b) {
  return a.line_ends == b.line_ends && a.after_lf == b.after_lf && a.after_cr == b.after_cr &&
         a.first_flaw == b.first_flaw && a.last_flaw == b.last_flaw &&
         a.first_lone_cr == b.first_lone_cr && a.marker == b.marker && a.candidate == b.candidate &&
         a.matched == b.matched;
}

// The count of `text` in two scans cut at `cut`, as the line files make it, with the line count.
struct Count {
  std::size_t stop;
  scan::CountState state;
  std::uint64_t lines;
};
Count CountOf(const char* text, std::size_t size, std::size_t cut, std::string_view marker) {
  Count count{};
  const char* stop = scan::CountScan(text, text + cut, 0, marker, count.state);
  if (stop == text + cut) stop = scan::CountScan(text + cut, text + size, cut, marker, count.state);
  count.stop = static_cast<std::size_t>(stop - text);
  count.lines = scan::FinishCount(count.stop, count.state);
  return count;
}

// The bytes CopyRun should have written for the `taken` bytes at `from`: each LF without a CR
// right before it (none before `from`) written as CR LF.
std::string CopyOf(const char* from, std::size_t taken) {
  std::string out;
  for (std::size_t i = 0; i < taken; ++i) {
    if (from[i] == '\n' && (i == 0 || from[i - 1] != '\r')) out += '\r';
    out += from[i];
  }
  return out;
}

// Compares, on `text` put at `shift` bytes past a 64-byte boundary, every kernel set held with
// the plain one; `cut` (below the size, or 0) also splits the count.
void CompareAt(std::string_view text, std::size_t shift, std::size_t cut) {
  const std::size_t size = text.size();
  std::vector<char> room(size + 128);
  char* at = room.data() + (64 - reinterpret_cast<std::uintptr_t>(room.data()) % 64) + shift;
  std::memcpy(at, text.data(), size);
  const char* end = at + size;
  // Run starts: the first byte and, every 7 bytes, one that follows no CR (as CopyRun and
  // FindRunStop want when copying).
  std::vector<std::size_t> starts;
  for (std::size_t i = 0; i < size; i += 7) {
    if (i == 0 || at[i - 1] != '\r') starts.push_back(i);
  }

  scan::UseKernels(scan::Kernels::kPlain);
  Count counts[2];
  const std::string_view markers[2] = {"", "@3"};
  for (int m = 0; m < 2; ++m) counts[m] = CountOf(at, size, cut, markers[m]);
  std::vector<std::size_t> stops;
  for (std::size_t from : starts) {
    for (int mode = 0; mode < 8; ++mode) {
      stops.push_back(static_cast<std::size_t>(
          scan::FindRunStop(at + from, end, mode & 1, mode & 2 ? '@' : -1, mode & 4) - at));
    }
    stops.push_back(
        static_cast<std::size_t>(scan::FindFirstOf(at + from, end, '\n', '\r', 26) - at));
    stops.push_back(static_cast<std::size_t>(scan::FindFirstOf(at + from, end, '\n', 26, 26) - at));
  }
  const std::size_t stripes = size / scan::kStripeBytes;
  std::uint64_t lanes[scan::kPrintLanes];
  for (std::size_t i = 0; i < scan::kPrintLanes; ++i) lanes[i] = 0x9E3779B97F4A7C15ULL * (i + size);
  std::uint64_t print[scan::kPrintLanes];
  std::memcpy(print, lanes, sizeof lanes);
  scan::PrintStripes(print, at, stripes, size % 29);

  for (scan::Kernels kernels : scan::kEveryKernels) {
    if (kernels == scan::Kernels::kPlain || !scan::UseKernels(kernels)) continue;
    for (int m = 0; m < 2; ++m) {
      Count count = CountOf(at, size, cut, markers[m]);
      if (count.stop != counts[m].stop) Differ("the count's stop", kernels, text, shift);
      if (!SameState(count.state, counts[m].state)) Differ("the count", kernels, text, shift);
      if (count.lines != counts[m].lines) Differ("the line count", kernels, text, shift);
    }
    std::size_t next = 0;
    for (std::size_t from : starts) {
      for (int mode = 0; mode < 8; ++mode) {
        const bool line_start = mode & 1;
        const int first = mode & 2 ? '@' : -1;
        const bool copying = mode & 4;
        const char* stop = scan::FindRunStop(at + from, end, line_start, first, copying);
        if (static_cast<std::size_t>(stop - at) != stops[next++]) {
          Differ("a run stop", kernels, text, shift);
        }
        if (!copying) continue;
        // A copied run ends where the run stops but for its bare LFs, or earlier, never right
        // after a CR, and holds its bytes with a CR before each bare LF.
        for (std::size_t space : {std::size_t{40}, std::size_t{4096}}) {
          std::vector<char> out(space);
          std::size_t put = 0;
          std::size_t taken =
              scan::CopyRun(at + from, end, line_start, first, out.data(), space, &put);
          const char* rest = at + from;  // the byte loop's stop but for bare LFs
          for (bool starts_line = line_start;; starts_line = true) {
            rest = scan::FindRunStop(rest, end, starts_line, first, true);
            if (rest == end || *rest != '\n') break;
            ++rest;
          }
          const std::string want = CopyOf(at + from, taken);
          if (taken > static_cast<std::size_t>(rest - (at + from)) || put > space ||
              (taken > 0 && at[from + taken - 1] == '\r') ||
              std::string_view(out.data(), put) != want) {
            Differ("a copied run", kernels, text, shift);
          }
        }
      }
      if (static_cast<std::size_t>(scan::FindFirstOf(at + from, end, '\n', '\r', 26) - at) !=
              stops[next++] ||
          static_cast<std::size_t>(scan::FindFirstOf(at + from, end, '\n', 26, 26) - at) !=
              stops[next++]) {
        Differ("a first-of search", kernels, text, shift);
      }
    }
    std::uint64_t other[scan::kPrintLanes];
    std::memcpy(other, lanes, sizeof lanes);
    scan::PrintStripes(other, at, stripes, size % 29);
    if (std::memcmp(other, print, sizeof print) != 0) Differ("the print", kernels, text, shift);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::size_t cut = text.empty() ? 0 : data[0] % text.size();
  for (std::size_t shift = 0; shift < 64; shift += 9) CompareAt(text, shift, cut);
  return 0;
}

#if defined(KG_SCAN_DIFFERENTIAL_MAIN)
namespace {

// A fixed sequence of pseudo-random numbers (splitmix64).
std::uint64_t Next(std::uint64_t& seed) {
  std::uint64_t z = (seed += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

}  // namespace

int main(int argc, char** argv) {
  const long texts = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1500;
  std::uint64_t seed = 38;
  // Lengths around the vectors' and rounds' edges, mostly short, now and then a few stripes.
  for (long n = 0; n < texts; ++n) {
    std::uint64_t r = Next(seed);
    std::size_t size = r % 8 == 0 ? 200 + r / 8 % 400 : r / 8 % 160;
    std::string text(size, 'x');
    // Mostly CR LF lines, with CRs, LFs, 26s and "@3" sprinkled at a rate the text chooses: in
    // one text of five, so rarely that most word groups are quiet.
    const unsigned rate = static_cast<unsigned>(Next(seed) % 5);
    const bool ends = Next(seed) % 2 == 0;  // half the texts hold no byte 26
    for (std::size_t i = 0; i < size; ++i) {
      std::uint64_t pick = Next(seed) % (rate == 4 ? 1024 : 64 >> rate);
      static constexpr char kBytes[] = {'\r', '\n', 26, '@', '3', '\r', '\n', 0, '\x8d', '\x8a'};
      if (pick < sizeof kBytes) {
        text[i] = kBytes[pick] == 26 && !ends ? 'y' : kBytes[pick];
      } else if (pick < 16 && i + 1 < size) {
        text[i] = '\r';
        text[++i] = '\n';
        if (rate == 4 && pick % 4 == 0 && i + 2 < size) {  // a marker line in a quiet text
          text[++i] = '@';
          text[++i] = '3';
        }
      } else {
        text[i] = static_cast<char>('a' + pick % 26);
      }
    }
    if (rate == 4 && size > 2) {  // and one lone CR, wherever it falls against the word groups
      const std::size_t at = Next(seed) % (size - 1);
      if (text[at + 1] != '\n') text[at] = '\r';
    }
    const std::size_t cut = size == 0 ? 0 : Next(seed) % size;
    for (std::size_t shift = 0; shift < 64; shift += 1 + n % 13) CompareAt(text, shift, cut);
  }
  std::printf("scan_differential: %ld texts, every kernel set held agrees with the byte loop:",
              texts);
  for (scan::Kernels kernels : scan::kEveryKernels) {
    if (scan::UseKernels(kernels)) std::printf(" %s", scan::KernelsName(kernels));
  }
  std::printf("\n");
  return 0;
}
#endif
