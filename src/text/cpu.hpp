// What the processor runs beyond the baseline of the build. Scanning code
// compiles an AVX2 form of its inner loop beside the portable one (through
// target attributes, so the library runs on any x86-64) and picks it here.
#pragma once

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// AVX2 forms can be compiled (they run only when has_avx2() says so).
#define KORVANE_HAVE_AVX2_TARGET 1
#endif

namespace korvane::text {

// True when the processor runs AVX2 instructions (asked once per process).
[[nodiscard]] inline bool has_avx2() noexcept {
#if defined(KORVANE_HAVE_AVX2_TARGET)
  static const bool avx2 = __builtin_cpu_supports("avx2") != 0;
  return avx2;
#else
  return false;
#endif
}

}  // namespace korvane::text
