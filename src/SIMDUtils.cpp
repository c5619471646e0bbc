#include "SIMDUtils.h"

#include <immintrin.h>

#include <cstdint>
#include <iostream>

// The vector paths are compiled for their instruction sets one function at a time (target
// attributes), so the library as a whole still runs on any x86-64 processor; add_arrays picks
// a path at run time from the compiler runtime's CPU feature table, which is filled once at load.

namespace {

bool isAligned64(const void* p) { return reinterpret_cast<std::uintptr_t>(p) % 64 == 0; }

// The elements a full-width vector loop left over, one by one.
void addTail(const unsigned int* a, const unsigned int* b, unsigned int* c, size_t from, size_t n) {
    for (size_t i = from; i < n; ++i) {
        c[i] = a[i] + b[i];
    }
}

template <bool AlignedStore>
__attribute__((target("avx512f"))) void addAvx512(const unsigned int* a, const unsigned int* b,
                                                  unsigned int* c, size_t n) {
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m512i va = _mm512_loadu_si512(a + i);
        const __m512i vb = _mm512_loadu_si512(b + i);
        const __m512i sum = _mm512_add_epi32(va, vb);
        if constexpr (AlignedStore) {
            _mm512_store_si512(c + i, sum);
        } else {
            _mm512_storeu_si512(c + i, sum);
        }
    }
    addTail(a, b, c, i, n);
}

}  // namespace

void add_arrays_avx512(unsigned int* a, unsigned int* b, unsigned int* c, size_t n) {
    addAvx512<true>(a, b, c, n);
}

void add_arrays_avx512_unaligned(unsigned int* a, unsigned int* b, unsigned int* c, size_t n) {
    addAvx512<false>(a, b, c, n);
}

__attribute__((target("avx2"))) void add_arrays_avx2(unsigned int* a, unsigned int* b,
                                                     unsigned int* c, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i));
        const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(c + i), _mm256_add_epi32(va, vb));
    }
    addTail(a, b, c, i, n);
}

void add_arrays_fallback(unsigned int* a, unsigned int* b, unsigned int* c, size_t n) {
    addTail(a, b, c, 0, n);
}

bool checkAVX512Support() { return __builtin_cpu_supports("avx512f"); }

bool checkAVX2Support() { return __builtin_cpu_supports("avx2"); }

void add_arrays(unsigned int* a, unsigned int* b, unsigned int* c, size_t n) {
    if (__builtin_cpu_supports("avx512f")) {
        // Aligned full-line stores where the destination allows them (the runners' buffers
        // always do); any other destination is still summed correctly.
        if (isAligned64(c)) {
            add_arrays_avx512(a, b, c, n);
        } else {
            add_arrays_avx512_unaligned(a, b, c, n);
        }
    } else if (__builtin_cpu_supports("avx2")) {
        add_arrays_avx2(a, b, c, n);
    } else {
        add_arrays_fallback(a, b, c, n);
    }
}

void reportSIMDSupport() {
    if (__builtin_cpu_supports("avx512f")) {
        std::cout << "AVX512 support is available." << std::endl;
    } else if (__builtin_cpu_supports("avx2")) {
        std::cout << "AVX2 support is available." << std::endl;
    } else {
        std::cout << "No AVX2 or AVX512 support detected. Using fallback." << std::endl;
    }
}
