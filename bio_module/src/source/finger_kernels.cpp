// Per-frame kernels: the reference versions of the variance score and the geometric correction, and
// the one place that chooses which variant runs. Pure: the module's configuration, sensor and tables
// are bound to them elsewhere (finger_detector.cpp, correction_tables.cpp), so tools can score frames
// with these very kernels without the host framework.
#include "finger_kernels.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#ifdef __arm__
#include <sys/auxv.h>

#include <asm/hwcap.h>
#endif

namespace {

// Sample of pixel (x, y): the first byte of the pixel's 2-byte UYVY group.
inline std::uint32_t sample(const unsigned char* frame, std::uint64_t x, std::uint64_t y) {
    return frame[kernel_row_bytes * y + 2 * x];
}

struct variant_list {
    kernel_variant entries[4];
    std::size_t count;
};

// True when the processor executes NEON instructions: the board's kernel says so in the auxiliary
// vector (ARMv7-A cores without NEON exist, and Debian's armhf baseline does not assume it).
bool processor_has_neon() {
#ifdef __arm__
    return (getauxval(AT_HWCAP) & HWCAP_NEON) != 0;
#else
    return false;
#endif
}

variant_list usable_variants() {
    variant_list list = {{{"reference", image_variance_reference, correct_image_reference},
                          {"fast", image_variance_fast, correct_image_fast}},
                         2};
    if (const kernel_variant* sse41 = sse41_variant()) {
        list.entries[list.count++] = *sse41;
    }
    const kernel_variant* neon = neon_variant();
    if (neon != nullptr && processor_has_neon()) {
        list.entries[list.count++] = *neon;
    }
    return list;
}

}  // namespace

// Mean variance of the bsize x bsize blocks of the centre window, sampling every step-th row of a
// block and, in each sampled row, ceil(bsize / step) adjacent pixels. Returns 0 when
// 1 <= step <= bsize <= 280 does not hold.
int image_variance_reference(const unsigned char* frame, int block_size, int row_step) {
    if (frame == nullptr || !variance_arguments_valid(block_size, row_step)) {
        return 0;
    }
    const std::uint64_t b = static_cast<std::uint64_t>(block_size);
    const std::uint64_t s = static_cast<std::uint64_t>(row_step);
    const std::uint64_t blocks_x = variance_window_width / b;
    const std::uint64_t blocks_y = variance_window_height / b;
    const std::uint64_t n = (b * b) / (s * s);
    const std::uint64_t samples_per_row = (b + s - 1) / s;
    // Valid arguments give n >= 1 and at least one block; say so where the divisions start.
    if (n == 0 || blocks_x == 0 || blocks_y == 0) {
        return 0;
    }

    // Bounds: a block holds at most 280 x 280 samples of at most 255, so sum < 2^25 and
    // sumsq < 2^33; both, and sum^2 < 2^50, fit the 64-bit accumulators. The subtraction and acc
    // are modulo 2^64 by definition (when step does not divide bsize, n undercounts the samples
    // and a block can contribute a "negative" term).
    std::uint64_t acc = 0;
    for (std::uint64_t block_y = 0; block_y < blocks_y; ++block_y) {
        for (std::uint64_t block_x = 0; block_x < blocks_x; ++block_x) {
            const std::uint64_t bx = variance_window_x + block_x * b;
            const std::uint64_t by = variance_window_y + block_y * b;
            std::uint64_t sum = 0;
            std::uint64_t sumsq = 0;
            for (std::uint64_t j = 0; j * s < b; ++j) {
                for (std::uint64_t i = 0; i < samples_per_row; ++i) {
                    const std::uint64_t p = sample(frame, bx + i, by + j * s);
                    sum += p;
                    sumsq += p * p;
                }
            }
            acc += sumsq - (sum * sum) / n;
        }
    }
    const std::uint64_t score = (acc / n) / (blocks_x * blocks_y);
    return static_cast<int>(static_cast<std::uint32_t>(score));
}

// Corrected image straight from the plan, one output pixel at a time: the four-corner weighted sum,
// shifted right by 20 and cut to 8 bits, optionally inverted, stored in reading or turned order.
void correct_image_reference(const unsigned char* frame, const correction_plan& plan, correction_flags flags,
                             unsigned char* out) {
    for (std::size_t k = 0; k < plan.pixels; ++k) {
        const unsigned char* top = frame + plan.offset[k];
        const unsigned char* bottom = top + kernel_row_bytes;
        // Unsigned 32-bit, modulo 2^32: the builders' weights add up to about 2^20, so the sum stays
        // below 2^28.
        std::uint32_t v = plan.weight[0][k] * top[0] + plan.weight[1][k] * top[2] +
                          plan.weight[2][k] * bottom[0] + plan.weight[3][k] * bottom[2];
        v = (v >> 20) & 0xFFu;
        if (flags.invert_pixels) {
            v = 255u - v;
        }
        out[flags.invert ? plan.pixels - 1 - k : k] = static_cast<unsigned char>(v);
    }
}

const kernel_variant* kernel_variants(std::size_t* count) {
    static const variant_list variants = usable_variants();
    *count = variants.count;
    return variants.entries;
}

const kernel_variant& select_kernels(const char* bio_kernels_value) {
    std::size_t count = 0;
    const kernel_variant* variants = kernel_variants(&count);
    if (bio_kernels_value != nullptr) {
        for (std::size_t i = 0; i < count; ++i) {
            if (std::strcmp(bio_kernels_value, variants[i].name) == 0) {
                return variants[i];
            }
        }
    }
    // The last variant listed is the fastest one built for this machine.
    return variants[count - 1];
}

const kernel_variant& active_kernels() {
    // Chosen once: the capture loop calls the kernels for every frame and the environment does not
    // change under a running host.
    static const kernel_variant& chosen = select_kernels(std::getenv("BIO_KERNELS"));
    return chosen;
}
