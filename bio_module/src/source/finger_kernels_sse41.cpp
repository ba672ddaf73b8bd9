// SSE4.1 twin of the correction for x86-64 machines (development hosts, the benchmark): compiled with
// -msse4.1 there and empty elsewhere; used only when the processor reports SSE4.1.
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

inline __m128i load_weights(const std::uint32_t* weights, std::size_t k) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(weights + k));
}

// Pixels k .. k + 3: their sums, shifted right by 20, cut to 8 bits and XORed with `mask`, as the four
// bytes of the result in pixel order. Each pixel's top pair (bytes 0 and 2 of a 4-byte load at its
// offset) and bottom pair (the same at offset + 1280) are gathered into one lane of `top` and
// `bottom`; the plan's weight arrays load straight into the lanes they multiply.
inline std::uint32_t correct_four(const unsigned char* frame, const correction_plan& plan, std::size_t k,
                                  __m128i mask) {
    const std::uint32_t* offset = plan.offset + k;
    const __m128i top = _mm_setr_epi32(load_word(frame + offset[0]), load_word(frame + offset[1]),
                                       load_word(frame + offset[2]), load_word(frame + offset[3]));
    const __m128i bottom = _mm_setr_epi32(
        load_word(frame + offset[0] + kernel_row_bytes), load_word(frame + offset[1] + kernel_row_bytes),
        load_word(frame + offset[2] + kernel_row_bytes), load_word(frame + offset[3] + kernel_row_bytes));
    const __m128i low_byte = _mm_set1_epi32(0xFF);
    // Products modulo 2^32, as in the reference.
    __m128i sum = _mm_mullo_epi32(_mm_and_si128(top, low_byte), load_weights(plan.weight[0], k));
    sum = _mm_add_epi32(sum, _mm_mullo_epi32(_mm_and_si128(_mm_srli_epi32(top, 16), low_byte),
                                             load_weights(plan.weight[1], k)));
    sum =
        _mm_add_epi32(sum, _mm_mullo_epi32(_mm_and_si128(bottom, low_byte), load_weights(plan.weight[2], k)));
    sum = _mm_add_epi32(sum, _mm_mullo_epi32(_mm_and_si128(_mm_srli_epi32(bottom, 16), low_byte),
                                             load_weights(plan.weight[3], k)));
    sum = _mm_xor_si128(_mm_and_si128(_mm_srli_epi32(sum, 20), low_byte), mask);
    sum = _mm_packus_epi32(sum, sum);
    sum = _mm_packus_epi16(sum, sum);
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(sum));
}

// Same image as correct_image_reference(); see finger_kernels.h. Turned, each group of four is stored
// byte-reversed at the mirrored position; the last pixels/4 remainder goes through the portable twin's
// arithmetic one pixel at a time.
void correct_image_sse41(const unsigned char* frame, const correction_plan& plan, correction_flags flags,
                         unsigned char* out) {
    const std::size_t n = plan.pixels;
    const std::size_t whole = n - n % 4;
    const __m128i mask = _mm_set1_epi32(flags.invert_pixels ? 0xFF : 0x00);
    for (std::size_t k = 0; k < whole; k += 4) {
        std::uint32_t four = correct_four(frame, plan, k, mask);
        if (flags.invert) {
            four = __builtin_bswap32(four);
        }
        std::memcpy(out + (flags.invert ? n - 4 - k : k), &four, sizeof four);
    }
    if (whole < n) {
        const correction_plan rest = {
            plan.offset + whole,
            {plan.weight[0] + whole, plan.weight[1] + whole, plan.weight[2] + whole, plan.weight[3] + whole},
            n - whole};
        // Turned, the remainder's pixels land at the start of out.
        correct_image_fast(frame, rest, flags, flags.invert ? out : out + whole);
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
