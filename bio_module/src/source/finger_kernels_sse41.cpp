// SSE4.1 correction rows for x86-64 machines (development hosts, the benchmark): compiled with -msse4.1
// there and empty elsewhere; used only when the processor reports SSE4.1. The score is the portable one.
#include "finger_kernels.h"

#include <cstdint>
#include <cstring>

#ifdef __SSE4_1__
#include <smmintrin.h>

namespace {

inline std::int32_t load_word(const unsigned char* p) {
    std::int32_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

inline __m128i load_vector(const void* p) {
    return _mm_loadu_si128(static_cast<const __m128i*>(p));
}

// Four pixels' left and right samples as the 16-bit halves of four 32-bit lanes: bytes 0 and 2 of the
// 4-byte word at each pixel's sample in `row` (indexes widened before doubling, so that the addresses
// are one scaled index each).
inline __m128i sample_pairs(const unsigned char* row, const std::uint8_t* index) {
    __m128i words = _mm_cvtsi32_si128(load_word(row + 2 * std::size_t{index[0]}));
    words = _mm_insert_epi32(words, load_word(row + 2 * std::size_t{index[1]}), 1);
    words = _mm_insert_epi32(words, load_word(row + 2 * std::size_t{index[2]}), 2);
    words = _mm_insert_epi32(words, load_word(row + 2 * std::size_t{index[3]}), 3);
    return _mm_and_si128(words, _mm_set1_epi32(0x00FF00FF));
}

// Pixels 4 * half .. 4 * half + 3 of a group, each value in the low byte of a 32-bit lane. The blend
// written once for SSE4.1: the sample pairs multiply the weights' signed low parts and, apart, their high
// parts, adding pairwise (pmaddwd, exact), into L and H. The reference's sum is L + H * 2^16 modulo
// 2^32, and its bits 20..27 are bits 4..11 of floor(L / 2^16) + H.
inline __m128i blend_four(const unsigned char* window, const correction_group& g, int half) {
    const std::uint8_t* index = g.sample + 4 * half;
    const __m128i top = sample_pairs(window, index);
    const __m128i bottom = sample_pairs(window + kernel_row_bytes, index);
    const __m128i low = _mm_add_epi32(_mm_madd_epi16(top, load_vector(g.halves.low + 8 * half)),
                                      _mm_madd_epi16(bottom, load_vector(g.halves.low + 16 + 8 * half)));
    // High parts: w0 w1 w2 w3 of each pixel, to w0 w1 pairs and w2 w3 pairs in 16-bit lanes.
    const __m128i high_bytes = load_vector(g.halves.high + 16 * half);
    const __m128i top_high =
        _mm_shuffle_epi8(high_bytes, _mm_setr_epi8(0, -1, 1, -1, 4, -1, 5, -1, 8, -1, 9, -1, 12, -1, 13, -1));
    const __m128i bottom_high = _mm_shuffle_epi8(
        high_bytes, _mm_setr_epi8(2, -1, 3, -1, 6, -1, 7, -1, 10, -1, 11, -1, 14, -1, 15, -1));
    const __m128i high = _mm_add_epi32(_mm_madd_epi16(top, top_high), _mm_madd_epi16(bottom, bottom_high));
    return _mm_srli_epi32(_mm_add_epi32(_mm_srai_epi32(low, 16), high), 4);
}

// The row's groups, eight bytes each, the last one at its last eight columns; turned, each group's
// bytes are reversed and stored at the mirrored position.
template <bool Turn>
void correct_groups(const unsigned char* frame, const correction_group* g, std::uint32_t groups,
                    const correction_row& row) {
    const __m128i mask = _mm_set1_epi8(static_cast<char>(row.mask));
    const __m128i reverse = _mm_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 8, 9, 10, 11, 12, 13, 14, 15);
    // In locals: stores through `out` may alias the row's fields.
    unsigned char* const out = row.out;
    const std::size_t last = row.count - 8;
    for (std::uint32_t i = 0; i < groups; ++i, ++g) {
        const std::size_t column = i + 1 < groups ? 8 * std::size_t{i} : last;
        const unsigned char* window = frame + g->window;
        const __m128i words = _mm_packus_epi32(blend_four(window, *g, 0), blend_four(window, *g, 1));
        const __m128i bytes = _mm_and_si128(words, _mm_set1_epi16(0xFF));
        __m128i eight = _mm_xor_si128(_mm_packus_epi16(bytes, bytes), mask);
        if (Turn) {
            eight = _mm_shuffle_epi8(eight, reverse);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out - column - 7), eight);
        } else {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out + column), eight);
        }
    }
}

// Same pixels as correct_row_reference(); see finger_kernels.h. Rows without groups are left to it.
std::size_t correct_row_sse41(const correction_job& job, std::size_t index) {
    const correction_row row = job_row(job, index);
    std::uint32_t groups = 0;
    const correction_group* g = walk_groups(*job.plan, row, groups);
    if (groups == 0) {
        return 0;
    }
    if (row.direction < 0) {
        correct_groups<true>(job.frame, g, groups, row);
    } else {
        correct_groups<false>(job.frame, g, groups, row);
    }
    return row.count;
}

}  // namespace

const kernel_variant* sse41_variant() {
    static const kernel_variant variant = {"sse41", score_row_fast, correct_row_sse41};
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse4.1") ? &variant : nullptr;
}

#else

const kernel_variant* sse41_variant() {
    return nullptr;
}

#endif
