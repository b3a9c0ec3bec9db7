// The scan kernels for AVX2, SSE2 and plain bytes, and the one table they are chosen from per run.
#include "runtime/line_scan.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KG_SCAN_X86 1
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

}  // namespace

namespace plain {
using Vector = char;
constexpr int kWidth = 0;
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
inline std::uint32_t Matches(Vector bytes, Vector want) {
  return bytes == want;
}
// The print's vector steps have no plain form: its kernel folds one lane at a time instead.
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

#if defined(KG_SCAN_X86)
// Compiled for SSE2 whatever the build's baseline (32-bit x86 has none), and chosen where it runs.
namespace sse2 {
using Vector = __m128i;
constexpr int kWidth = 16;
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
KG_SCAN_TARGET inline std::uint32_t Matches(Vector bytes, Vector want) {
  return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, want)));
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
constexpr int kWidth = 32;
#define KG_SCAN_TARGET __attribute__((target("avx2")))
KG_SCAN_TARGET inline Vector Load(const char* at) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
}
KG_SCAN_TARGET inline Vector Splat(char byte) {
  return _mm256_set1_epi8(byte);
}
KG_SCAN_TARGET inline void Store(char* at, Vector bytes) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(at), bytes);
}
KG_SCAN_TARGET inline std::uint32_t Matches(Vector bytes, Vector want) {
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, want)));
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

namespace {

// The kernels of one instruction set.
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

// The sets by Kernels value. Where this build has no vector code, the plain set stands in for
// the others, which UseKernels then never chooses.
constexpr KernelSet kKernelSets[] = {
#if defined(KG_SCAN_X86)
    KG_KERNEL_SET(avx2),
    KG_KERNEL_SET(sse2),
#else
    KG_KERNEL_SET(plain),
    KG_KERNEL_SET(plain),
#endif
    KG_KERNEL_SET(plain),
};

// The widest kernels this processor runs, asked once.
Kernels Widest() {
  static const Kernels widest = [] {
#if defined(KG_SCAN_X86)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return Kernels::kAvx2;
    if (__builtin_cpu_supports("sse2")) return Kernels::kSse2;
#endif
    return Kernels::kPlain;
  }();
  return widest;
}

const KernelSet* chosen = nullptr;

// The kernels the scans use: the widest, unless UseKernels chose others.
const KernelSet& Chosen() {
  if (chosen == nullptr) chosen = &kKernelSets[static_cast<int>(Widest())];
  return *chosen;
}

}  // namespace

bool UseKernels(Kernels kernels) {
  if (kernels < Widest()) return false;
  chosen = &kKernelSets[static_cast<int>(kernels)];
  return true;
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
