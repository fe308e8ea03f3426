// Compiler-specific constructs live here and nowhere else, so that another
// Windows toolchain (MSVC, clang-cl) only has to change this one header.
#pragma once

#if defined(_MSC_VER) && !defined(__clang__)
#define TELVOR_FORCE_INLINE __forceinline
#define TELVOR_NOINLINE __declspec(noinline)
#define TELVOR_TARGET(features)
#define TELVOR_RESTRICT __restrict
#define TELVOR_LIKELY(x) (x)
#define TELVOR_UNLIKELY(x) (x)
#define TELVOR_KEEP_IN_REGISTER(v) ((void)0)
#else
#define TELVOR_FORCE_INLINE inline __attribute__((always_inline))
#define TELVOR_NOINLINE __attribute__((noinline))
// Lets one function use instructions beyond the file's baseline flags.
#define TELVOR_TARGET(features) __attribute__((target(features)))
#define TELVOR_RESTRICT __restrict__
#define TELVOR_LIKELY(x) __builtin_expect(!!(x), 1)
#define TELVOR_UNLIKELY(x) __builtin_expect(!!(x), 0)
// A loaded vector that two instructions read: GCC folds the load into each of
// them and reads memory twice, which costs interleaving loops 5-10 %.
#define TELVOR_KEEP_IN_REGISTER(v) asm("" : "+x"(v))
#endif

// Structured exception keywords (__try/__except): MSVC and clang-cl have them;
// GCC for MinGW does not, and the access guard then uses a vectored handler.
#if defined(_MSC_VER)
#define TELVOR_HAS_SEH_KEYWORDS 1
#else
#define TELVOR_HAS_SEH_KEYWORDS 0
#endif

// Processor feature query. Both return zeros where the instruction set has no
// such query, which makes every caller fall back to plain code.
#include <cstdint>
#if defined(_MSC_VER) && !defined(__clang__) && (defined(_M_X64) || defined(_M_IX86))
#include <intrin.h>
inline void TelvorCpuid(std::uint32_t leaf, std::uint32_t subleaf, std::uint32_t regs[4]) {
  int r[4];
  __cpuidex(r, static_cast<int>(leaf), static_cast<int>(subleaf));
  for (int i = 0; i < 4; ++i) regs[i] = static_cast<std::uint32_t>(r[i]);
}
inline std::uint64_t TelvorXgetbv0() { return _xgetbv(0); }
#elif defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
inline void TelvorCpuid(std::uint32_t leaf, std::uint32_t subleaf, std::uint32_t regs[4]) {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid_count(leaf, subleaf, &a, &b, &c, &d) == 0) a = b = c = d = 0;
  regs[0] = a;
  regs[1] = b;
  regs[2] = c;
  regs[3] = d;
}
// Raw opcode: the intrinsic would need -mxsave on this file.
inline std::uint64_t TelvorXgetbv0() {
  std::uint32_t lo = 0, hi = 0;
  __asm__ volatile(".byte 0x0f, 0x01, 0xd0" : "=a"(lo), "=d"(hi) : "c"(0));
  return (static_cast<std::uint64_t>(hi) << 32) | lo;
}
#else
inline void TelvorCpuid(std::uint32_t, std::uint32_t, std::uint32_t regs[4]) { regs[0] = regs[1] = regs[2] = regs[3] = 0; }
inline std::uint64_t TelvorXgetbv0() { return 0; }
#endif

// Restores the state components in `components` from a standard-form XSAVE
// image (64-byte aligned); those the image marks unused get their initial
// values. TelvorMxcsr reads the SSE control register. Both only where the
// system has enabled XSAVE (and so SSE).
#if defined(_MSC_VER) && !defined(__clang__) && (defined(_M_X64) || defined(_M_IX86))
#include <immintrin.h>
inline std::uint32_t TelvorMxcsr() { return _mm_getcsr(); }
#if defined(_M_X64)
inline void TelvorXrstor(const void* image, std::uint64_t components) { _xrstor64(image, components); }
#else
inline void TelvorXrstor(const void* image, std::uint64_t components) { _xrstor(image, components); }
#endif
#elif defined(__x86_64__) || defined(__i386__)
// Inline assembly: the intrinsics would need -msse and -mxsave on the caller's file.
inline std::uint32_t TelvorMxcsr() {
  std::uint32_t value = 0;
  __asm__ volatile("stmxcsr %0" : "=m"(value));
  return value;
}
inline void TelvorXrstor(const void* image, std::uint64_t components) {
  const auto low = static_cast<std::uint32_t>(components), high = static_cast<std::uint32_t>(components >> 32);
#if defined(__x86_64__)
  __asm__ volatile("xrstor64 (%0)" : : "r"(image), "a"(low), "d"(high) : "memory");
#else
  __asm__ volatile("xrstor (%0)" : : "r"(image), "a"(low), "d"(high) : "memory");
#endif
}
#else
inline std::uint32_t TelvorMxcsr() { return 0; }
inline void TelvorXrstor(const void*, std::uint64_t) {}
#endif

// The processor's string move (rep movsb). Where the processor reports fast
// string moves it copies a long block faster than a loop of vector moves,
// because it writes whole cache lines without reading them first.
#include <cstddef>
#include <cstring>
#if defined(_MSC_VER) && !defined(__clang__) && defined(_M_X64)
inline void TelvorStringCopy(void* dst, const void* src, std::size_t bytes) {
  __movsb(static_cast<unsigned char*>(dst), static_cast<const unsigned char*>(src), bytes);
}
#elif defined(__x86_64__) || defined(__i386__)
inline void TelvorStringCopy(void* dst, const void* src, std::size_t bytes) {
  __asm__ volatile("rep movsb" : "+D"(dst), "+S"(src), "+c"(bytes) : : "memory");
}
#else
inline void TelvorStringCopy(void* dst, const void* src, std::size_t bytes) { std::memcpy(dst, src, bytes); }
#endif
