#pragma once
// Hot loops are compiled for the baseline instruction set and for AVX2 and
// AVX-512 machines; the loader picks the clone that fits the running CPU.
// Results do not depend on the clone (no contraction, no reassociation).
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__)
#define QEL_KERNEL_CLONES __attribute__((target_clones("default", "avx2", "arch=x86-64-v4")))
#else
#define QEL_KERNEL_CLONES
#endif

// A helper kept out of line, so that its loops are compiled on their own.
#if defined(__GNUC__)
#define QEL_NOINLINE __attribute__((noinline))
#else
#define QEL_NOINLINE
#endif

// A hot function that starts on a cache line of its own, so that its speed
// does not change with the size of the code before it.
#if defined(__GNUC__)
#define QEL_HOT_ALIGN __attribute__((aligned(64)))
#else
#define QEL_HOT_ALIGN
#endif
