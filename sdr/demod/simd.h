// Which vector instructions the demodulator's kernels may use, decided once
// for every file that includes this: SSE2 wherever the compiler targets it
// (every x86-64 host), AVX2 in addition for the kernels that choose it at
// run time, and none on the board or in a VORLIX_SCALAR build (which
// defines VORLIX_SCALAR for the library and everything built on it, so that
// inline kernels read alike in every file).
//
// Owns nothing. Only the kernel files (scan_kernels, slice_kernels,
// soft_kernels) include it; the algorithms call their kernels by one name
// on every machine.
#pragma once

#if defined(__SSE2__) && !defined(VORLIX_SCALAR)
#include <emmintrin.h>
#define VORLIX_SSE2 1
#endif

#if VORLIX_SSE2 && (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define VORLIX_AVX2 1
#endif
