// Per-frame kernels: the variance score and the geometric correction, reference versions and the
// one place that chooses which variant the module runs.
#include "finger_kernels.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "bio_module.h"

namespace {

// Sample of pixel (x, y): the first byte of the pixel's 2-byte UYVY group.
inline std::uint32_t sample(const unsigned char* frame, std::int64_t x, std::int64_t y) {
    return frame[2 * (x + std::int64_t{frame_width} * y)];
}

struct variant_list {
    kernel_variant entries[3];
    std::size_t count;
};

variant_list usable_variants() {
    variant_list list = {{{"reference", image_variance_reference, correct_image_reference},
                          {"fast", image_variance_fast, correct_image_fast}},
                         2};
    if (const kernel_variant* sse41 = sse41_variant()) {
        list.entries[list.count++] = *sse41;
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
                    const std::uint64_t p = sample(frame, static_cast<std::int64_t>(bx + i),
                                                   static_cast<std::int64_t>(by + j * s));
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

// Corrected grey image of a frame, one output pixel at a time, straight from the tables: the
// perspective matrices for the GC032A, the remap tables for every other sensor. Raises
// std::out_of_range when a matrix row or entry is missing; an empty offsetMatrix writes nothing.
void correct_image_reference(const unsigned char* frame, unsigned char* out) {
    if (camera_sensor == "GC032A") {
        if (offsetMatrix.empty()) {
            return;
        }
        const std::size_t height = offsetMatrix.size();
        const std::size_t width = offsetMatrix.at(0).size();
        for (std::size_t r = 0; r < height; ++r) {
            for (std::size_t c = 0; c < width; ++c) {
                const offset_entry& o = offsetMatrix.at(r).at(c);
                const weight_entry& w = weightMatrix.at(r).at(c);
                // Unsigned 32-bit: the weights add up to about 2^20, so the sum stays below 2^28.
                std::uint32_t v = static_cast<std::uint32_t>(w[0]) * sample(frame, o[0], o[1]) +
                                  static_cast<std::uint32_t>(w[1]) * sample(frame, o[2], o[3]) +
                                  static_cast<std::uint32_t>(w[2]) * sample(frame, o[4], o[5]) +
                                  static_cast<std::uint32_t>(w[3]) * sample(frame, o[6], o[7]);
                v = (v >> 20) & 0xFFu;
                if (invert_pixels) {
                    v = 255u - v;
                }
                const std::size_t position = r * width + c;
                out[invert ? height * width - 1 - position : position] = static_cast<unsigned char>(v);
            }
        }
        return;
    }
    for (std::size_t k = 0; k < remap_entries; ++k) {
        const std::uint32_t top = remapOffsetTable[k][0];
        const std::uint32_t bottom = remapOffsetTable[k][1];
        const std::uint32_t* w = remapWeightTable[k];
        std::uint32_t v =
            w[0] * frame[top] + w[1] * frame[top + 2] + w[2] * frame[bottom] + w[3] * frame[bottom + 2];
        v = (v >> 20) & 0xFFu;
        out[invert ? remap_entries - 1 - k : k] = static_cast<unsigned char>(v);
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

int image_variance(const unsigned char* frame, int block_size, int row_step) {
    return active_kernels().variance(frame, block_size, row_step);
}

void correct_image(const unsigned char* frame, unsigned char* out) {
    active_kernels().correct(frame, out);
}
