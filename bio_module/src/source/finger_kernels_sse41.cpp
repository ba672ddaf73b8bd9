// SSE4.1 twin of the table-form correction for x86-64 machines (development hosts, the benchmark):
// compiled with -msse4.1 there and empty elsewhere; used only when the processor reports SSE4.1.
#include "finger_kernels.h"

#include <cstdint>
#include <cstring>

#include "bio_module.h"

#ifdef __SSE4_1__
#include <smmintrin.h>

namespace {

inline __m128i load_word(const unsigned char* p) {
    std::int32_t word;
    std::memcpy(&word, p, sizeof word);
    return _mm_cvtsi32_si128(word);
}

// Products w0 * P(top), w1 * P(top + 2), w2 * P(bottom), w3 * P(bottom + 2) of one entry, in four
// 32-bit lanes (modulo 2^32, as in the reference). The pixel at `top` and its right-hand neighbour
// come from one 4-byte load at `top` (bytes 0 and 2), likewise for `bottom`. The builders' tables
// hold even offsets of a pixel's first byte, bottom + 2 at most 614398, so the widest read ends at
// the frame's last byte.
inline __m128i entry_products(const unsigned char* frame, const std::uint32_t* offsets,
                              const std::uint32_t* weights) {
    const __m128i spread = _mm_setr_epi8(0, -1, -1, -1, 2, -1, -1, -1, 4, -1, -1, -1, 6, -1, -1, -1);
    const __m128i words = _mm_unpacklo_epi32(load_word(frame + offsets[0]), load_word(frame + offsets[1]));
    const __m128i pixels = _mm_shuffle_epi8(words, spread);
    return _mm_mullo_epi32(pixels, _mm_loadu_si128(reinterpret_cast<const __m128i*>(weights)));
}

// Four entries: their sums, shifted right by 20 and cut to 8 bits, as the four bytes of the result.
inline std::uint32_t remap_four(const unsigned char* frame, const std::uint32_t* offsets,
                                const std::uint32_t* weights) {
    const __m128i p0 = entry_products(frame, offsets, weights);
    const __m128i p1 = entry_products(frame, offsets + 2, weights + 4);
    const __m128i p2 = entry_products(frame, offsets + 4, weights + 8);
    const __m128i p3 = entry_products(frame, offsets + 6, weights + 12);
    __m128i sums = _mm_hadd_epi32(_mm_hadd_epi32(p0, p1), _mm_hadd_epi32(p2, p3));
    sums = _mm_and_si128(_mm_srli_epi32(sums, 20), _mm_set1_epi32(0xFF));
    sums = _mm_packus_epi32(sums, sums);
    sums = _mm_packus_epi16(sums, sums);
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(sums));
}

void correct_table_sse41(const unsigned char* frame, unsigned char* out) {
    static_assert(remap_entries % 4 == 0, "the table form works four entries at a time");
    const std::uint32_t* offsets = &remapOffsetTable[0][0];
    const std::uint32_t* weights = &remapWeightTable[0][0];
    if (!invert) {
        for (std::size_t k = 0; k < remap_entries; k += 4, offsets += 8, weights += 16) {
            const std::uint32_t four = remap_four(frame, offsets, weights);
            std::memcpy(out + k, &four, sizeof four);
        }
        return;
    }
    // Turned by 180 degrees: entry k lands at remap_entries - 1 - k, so each group of four is
    // stored byte-reversed at the mirrored position.
    for (std::size_t k = 0; k < remap_entries; k += 4, offsets += 8, weights += 16) {
        const std::uint32_t four = __builtin_bswap32(remap_four(frame, offsets, weights));
        std::memcpy(out + (remap_entries - 4 - k), &four, sizeof four);
    }
}

// Same image as correct_image_reference() for tables of even in-frame offsets (what the builders
// make); the matrix form is the portable fast one.
void correct_image_sse41(const unsigned char* frame, unsigned char* out) {
    if (camera_sensor == "GC032A") {
        correct_image_fast(frame, out);
    } else {
        correct_table_sse41(frame, out);
    }
}

}  // namespace

const kernel_variant* sse41_variant() {
    static const kernel_variant variant = {"sse41", image_variance_fast, correct_image_sse41};
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse4.1") ? &variant : nullptr;
}

#else

const kernel_variant* sse41_variant() {
    return nullptr;
}

#endif
