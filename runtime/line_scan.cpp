// The scan kernels for AVX2, SSE2 and plain bytes, and the choice among them made once per run.
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

#if defined(KG_SCAN_X86) && defined(__SSE2__)
namespace sse2 {
using Vector = __m128i;
constexpr int kWidth = 16;
#define KG_SCAN_TARGET
inline Vector Load(const char* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}
inline Vector Splat(char byte) {
  return _mm_set1_epi8(byte);
}
inline void Store(char* at, Vector bytes) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(at), bytes);
}
inline std::uint32_t Matches(Vector bytes, Vector want) {
  return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, want)));
}
#include "runtime/line_scan_kernels.inc"
#undef KG_SCAN_TARGET
}  // namespace sse2
#endif

#if defined(KG_SCAN_X86)
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

// The widest kernels this processor runs, asked once.
Kernels Widest() {
  static const Kernels widest = [] {
#if defined(KG_SCAN_X86)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return Kernels::kAvx2;
#if defined(__SSE2__)
    return Kernels::kSse2;
#endif
#endif
    return Kernels::kPlain;
  }();
  return widest;
}

Kernels chosen_kernels = Kernels::kAvx2;
bool kernels_chosen = false;

// The kernels the scans use: the widest, unless UseKernels chose others.
Kernels Chosen() {
  return kernels_chosen ? chosen_kernels : Widest();
}

}  // namespace

bool UseKernels(Kernels kernels) {
#if !defined(KG_SCAN_X86) || !defined(__SSE2__)
  if (kernels == Kernels::kSse2) return false;
#endif
  if (kernels < Widest()) return false;
  chosen_kernels = kernels;
  kernels_chosen = true;
  return true;
}

const char* CountScan(const char* from, const char* to, std::uint64_t offset,
                      std::string_view marker, CountState& state) {
  switch (Chosen()) {
#if defined(KG_SCAN_X86)
    case Kernels::kAvx2:
      return avx2::CountScan(from, to, offset, marker, state);
#if defined(__SSE2__)
    case Kernels::kSse2:
      return sse2::CountScan(from, to, offset, marker, state);
#endif
#endif
    default:
      return plain::CountScan(from, to, offset, marker, state);
  }
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
  switch (Chosen()) {
#if defined(KG_SCAN_X86)
    case Kernels::kAvx2:
      return avx2::FindRunStop(from, to, line_start, first, copying);
#if defined(__SSE2__)
    case Kernels::kSse2:
      return sse2::FindRunStop(from, to, line_start, first, copying);
#endif
#endif
    default:
      return plain::FindRunStop(from, to, line_start, first, copying);
  }
}

std::size_t CopyRun(const char* from, const char* to, bool line_start, int first, char* out,
                    std::size_t room, std::size_t* put) {
  switch (Chosen()) {
#if defined(KG_SCAN_X86)
    case Kernels::kAvx2:
      return avx2::CopyRun(from, to, line_start, first, out, room, put);
#if defined(__SSE2__)
    case Kernels::kSse2:
      return sse2::CopyRun(from, to, line_start, first, out, room, put);
#endif
#endif
    default:
      return plain::CopyRun(from, to, line_start, first, out, room, put);
  }
}

}  // namespace kg::scan
