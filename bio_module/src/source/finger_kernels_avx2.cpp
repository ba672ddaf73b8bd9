// AVX2 correction rows for x86-64 machines (development hosts, the benchmark): compiled with -mavx2
// there and empty elsewhere; used only when the processor reports AVX2. The score is the portable one.
#include "finger_kernels.h"

#include <cstdint>

#ifdef __AVX2__
#include <immintrin.h>

namespace {

inline __m256i load(const void* p) {
    return _mm256_loadu_si256(static_cast<const __m256i*>(p));
}

// The 16 samples of each lane's window in the byte lanes of one 128-bit half: the first lane's in the
// low half. `row` is 0 for the top row, kernel_row_bytes for the one below.
inline __m256i lane_samples(const unsigned char* frame, const correction_lanes& g, std::size_t row) {
    const __m256i sample_bytes = _mm256_set1_epi16(0x00FF);
    const __m256i first = _mm256_and_si256(load(frame + row + g.window[0]), sample_bytes);
    const __m256i second = _mm256_and_si256(load(frame + row + g.window[1]), sample_bytes);
    // Packed: first's samples 0-7, second's 0-7 | first's 8-15, second's 8-15; then each lane's together.
    return _mm256_permute4x64_epi64(_mm256_packus_epi16(first, second), 0xD8);
}

// Pixels 0..7 of a lane group, pixel j's value in the low byte of 32-bit lane j (bits above it are
// garbage). Each pixel's left and right samples go to the 16-bit halves of its 32-bit lane and multiply
// the weights' signed low parts and, apart, their high parts, adding pairwise (pmaddwd, exact), into L
// and H. The reference's sum is L + H * 2^16 modulo 2^32, and the value is its bits 20..27.
inline __m256i blend_eight(const unsigned char* frame, const correction_lanes& g) {
    // Pixel j's shuffle indexes: left sample, zero, right sample, zero.
    std::int64_t indexes;
    __builtin_memcpy(&indexes, g.sample, sizeof indexes);
    const __m256i spread = _mm256_setr_epi8(0, -1, 0, -1, 1, -1, 1, -1, 2, -1, 2, -1, 3, -1, 3, -1,  //
                                            4, -1, 4, -1, 5, -1, 5, -1, 6, -1, 6, -1, 7, -1, 7, -1);
    const __m256i pick = _mm256_add_epi8(_mm256_shuffle_epi8(_mm256_set1_epi64x(indexes), spread),
                                         _mm256_set1_epi32(static_cast<int>(0x80018000u)));
    const __m256i top = _mm256_shuffle_epi8(lane_samples(frame, g, 0), pick);
    const __m256i bottom = _mm256_shuffle_epi8(lane_samples(frame, g, kernel_row_bytes), pick);
    const __m256i low = _mm256_add_epi32(_mm256_madd_epi16(top, load(g.halves.low)),
                                         _mm256_madd_epi16(bottom, load(g.halves.low + 16)));
    // High parts: w0 w1 w2 w3 of each pixel, to w0 w1 pairs and w2 w3 pairs in 16-bit lanes.
    const __m256i high_bytes = load(g.halves.high);
    const __m256i top_high = _mm256_shuffle_epi8(
        high_bytes, _mm256_setr_epi8(0, -1, 1, -1, 4, -1, 5, -1, 8, -1, 9, -1, 12, -1, 13, -1,  //
                                     0, -1, 1, -1, 4, -1, 5, -1, 8, -1, 9, -1, 12, -1, 13, -1));
    const __m256i bottom_high = _mm256_shuffle_epi8(
        high_bytes, _mm256_setr_epi8(2, -1, 3, -1, 6, -1, 7, -1, 10, -1, 11, -1, 14, -1, 15, -1,  //
                                     2, -1, 3, -1, 6, -1, 7, -1, 10, -1, 11, -1, 14, -1, 15, -1));
    const __m256i high =
        _mm256_add_epi32(_mm256_madd_epi16(top, top_high), _mm256_madd_epi16(bottom, bottom_high));
    return _mm256_srli_epi32(_mm256_add_epi32(low, _mm256_slli_epi32(high, 16)), 20);
}

// The rows' byte order: pixel values from the low bytes of 32-bit lanes to 4-byte runs, and the runs
// in image order; turned, both reversed.
template <bool Turn>
struct byte_order {
    // Bytes 0-3 of each 128-bit half from the low bytes of its 32-bit lanes (one group's pixels), or
    // bytes 4-7 (the second group's).
    static __m256i runs(__m256i values, int second) {
        const char a = Turn ? 12 : 0;
        const char b = Turn ? 8 : 4;
        const char c = Turn ? 4 : 8;
        const char d = Turn ? 0 : 12;
        const __m256i first_run =
            _mm256_setr_epi8(a, b, c, d, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,  //
                             a, b, c, d, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
        const __m256i second_run =
            _mm256_setr_epi8(-1, -1, -1, -1, a, b, c, d, -1, -1, -1, -1, -1, -1, -1, -1,  //
                             -1, -1, -1, -1, a, b, c, d, -1, -1, -1, -1, -1, -1, -1, -1);
        return _mm256_shuffle_epi8(values, second != 0 ? second_run : first_run);
    }
    // Runs: first group's pixels 0-3 and second group's 0-3 | first's 4-7 and second's 4-7; to image
    // order in the low 128 bits.
    static __m128i image(__m256i runs) {
        const __m256i order =
            Turn ? _mm256_setr_epi32(5, 1, 4, 0, 0, 0, 0, 0) : _mm256_setr_epi32(0, 4, 1, 5, 0, 0, 0, 0);
        return _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(runs, order));
    }
    // One group alone: its pixels 0-3 | 4-7, to image order in the low 64 bits.
    static __m128i image_one(__m256i runs) {
        const __m256i order =
            Turn ? _mm256_setr_epi32(4, 0, 0, 0, 0, 0, 0, 0) : _mm256_setr_epi32(0, 4, 0, 0, 0, 0, 0, 0);
        return _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(runs, order));
    }
};

// The row's lane groups, two at a time (16 bytes a store) while both have their regular columns 0, 8,
// 16, ..., then one at a time, the last one at its last eight columns; turned, each store's bytes are
// reversed and stored at the mirrored position.
template <bool Turn>
void correct_lanes(const unsigned char* frame, const correction_lanes* g, std::uint32_t groups,
                   const correction_row& row) {
    using order = byte_order<Turn>;
    const __m128i mask = _mm_set1_epi8(static_cast<char>(row.mask));
    // In locals: stores through `out` may alias the row's fields.
    unsigned char* const out = row.out;
    const std::size_t last = row.count - 8;
    std::uint32_t i = 0;
    for (; i + 2 < groups; i += 2, g += 2) {
        const __m256i runs = _mm256_or_si256(order::runs(blend_eight(frame, g[0]), 0),
                                             order::runs(blend_eight(frame, g[1]), 1));
        const __m128i sixteen = _mm_xor_si128(order::image(runs), mask);
        const std::size_t column = 8 * std::size_t{i};
        _mm_storeu_si128(reinterpret_cast<__m128i*>(Turn ? out - column - 15 : out + column), sixteen);
    }
    for (; i < groups; ++i, ++g) {
        const std::size_t column = i + 1 < groups ? 8 * std::size_t{i} : last;
        const __m128i eight = _mm_xor_si128(order::image_one(order::runs(blend_eight(frame, *g), 0)), mask);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(Turn ? out - column - 7 : out + column), eight);
    }
}

// Same pixels as correct_row_reference(); see finger_kernels.h. Rows without lanes are left to it.
std::size_t correct_row_avx2(const correction_job& job, std::size_t index) {
    const correction_walk* walk = job.plan->walk;
    if (walk == nullptr) {
        return 0;
    }
    const correction_row row = job_row(job, index);
    const unsigned char* const frame = job.frame;
    const std::uint32_t first = walk->row_lanes[row.index];
    const std::uint32_t groups = walk->row_lanes[row.index + 1] - first;
    if (groups == 0) {
        return 0;
    }
    if (row.direction < 0) {
        correct_lanes<true>(frame, walk->lanes + first, groups, row);
    } else {
        correct_lanes<false>(frame, walk->lanes + first, groups, row);
    }
    return row.count;
}

}  // namespace

const kernel_variant* avx2_variant() {
    static const kernel_variant variant = {"avx2", score_row_fast, correct_row_avx2};
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? &variant : nullptr;
}

#else

const kernel_variant* avx2_variant() {
    return nullptr;
}

#endif
