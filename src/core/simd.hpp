// Runtime-dispatched vector code for the hot loops.
//
// The module is built for the baseline x86-64 instruction set, so that one
// wheel runs everywhere. A loop marked TV_VECTOR_CLONES is compiled twice,
// for that baseline and for AVX2, and the loader picks the AVX2 copy once,
// at import, on processors that have it. Elsewhere the mark does nothing.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define TV_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define TV_VECTOR_CLONES
#endif
