// The scan kernels for AVX2, SSE2 and plain bytes, and the one table they are chosen from per run.
#include "runtime/line_scan.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KG_SCAN_X86 1
#endif

namespace kg::scan {

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
};

#define KG_KERNEL_SET(set)                                           \
  KernelSet {                                                        \
    set::CountScan, set::FindRunStop, set::CopyRun, set::FindFirstOf \
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

}  // namespace kg::scan
