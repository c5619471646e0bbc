// Element-wise addition of unsigned 32-bit arrays, c[i] = a[i] + b[i] modulo 2^32 for i < n,
// through the widest vector instructions the processor offers (AVX-512F, AVX2, plain code).
//
// c may be the same array as a or b, but must not overlap them in any other way. n counts
// elements; n = 0 touches no memory. The functions keep no state and are thread safe as long as
// no two threads write the same c.
#pragma once

#include <cstddef>

// Dispatches on every call through the compiler runtime's cached CPU feature table. Any
// alignment is accepted; 64-byte-aligned destinations get aligned full-line stores.
void add_arrays(unsigned int* a, unsigned int* b, unsigned int* c, size_t n);

// The single paths. The AVX-512 ones require AVX-512F, the AVX2 one AVX2.
// add_arrays_avx512 stores with aligned stores: c must be 64-byte aligned.
void add_arrays_avx512(unsigned int* a, unsigned int* b, unsigned int* c, size_t n);
// Any alignment of c.
void add_arrays_avx512_unaligned(unsigned int* a, unsigned int* b, unsigned int* c, size_t n);
void add_arrays_avx2(unsigned int* a, unsigned int* b, unsigned int* c, size_t n);
void add_arrays_fallback(unsigned int* a, unsigned int* b, unsigned int* c, size_t n);

bool checkAVX512Support();
bool checkAVX2Support();

// Prints the path add_arrays takes, one line on standard output.
void reportSIMDSupport();
