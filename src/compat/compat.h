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
#else
#define TELVOR_FORCE_INLINE inline __attribute__((always_inline))
#define TELVOR_NOINLINE __attribute__((noinline))
// Lets one function use instructions beyond the file's baseline flags.
#define TELVOR_TARGET(features) __attribute__((target(features)))
#define TELVOR_RESTRICT __restrict__
#define TELVOR_LIKELY(x) __builtin_expect(!!(x), 1)
#define TELVOR_UNLIKELY(x) __builtin_expect(!!(x), 0)
#endif

// Structured exception keywords (__try/__except): MSVC and clang-cl have them;
// GCC for MinGW does not, and the access guard then uses a vectored handler.
#if defined(_MSC_VER)
#define TELVOR_HAS_SEH_KEYWORDS 1
#else
#define TELVOR_HAS_SEH_KEYWORDS 0
#endif
