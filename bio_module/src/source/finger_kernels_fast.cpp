// Portable faster twins of the per-frame kernels: same signatures and results as the references.
#include "finger_kernels.h"

#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "bio_module.h"

namespace {

constexpr std::size_t row_bytes = 2 * static_cast<std::size_t>(frame_width);
constexpr unsigned max_blocks_per_row = variance_window_width;  // bsize 1

// floor(x / n) for the fixed n of one frame. The block counts of the usual settings (block size 4 or 8,
// row step 2) give a power of two, a shift; otherwise a 32-bit division when x allows, which is far
// cheaper than a 64-bit one (on 32-bit ARM the latter is a library call).
class divider {
public:
    explicit divider(std::uint64_t n) : n_(n), shift_(0), power_of_two_((n & (n - 1)) == 0) {
        while ((std::uint64_t{1} << shift_) < n) {
            ++shift_;
        }
    }
    std::uint64_t operator()(std::uint64_t x) const {
        if (power_of_two_) {
            return x >> shift_;
        }
        if ((x >> 32) == 0) {
            return static_cast<std::uint32_t>(x) / static_cast<std::uint32_t>(n_);
        }
        return x / n_;
    }

private:
    std::uint64_t n_;  // 1 .. 78400
    unsigned shift_;
    bool power_of_two_;
};

// Contribution of one row of blocks: sum over its blocks of sumsq - floor(sum^2 / n), modulo 2^64.
// The sampled rows are walked left to right across all blocks of the row, so the window is read in
// memory order; each block keeps its running sums in sum[] and sumsq[].
//
// Acc bounds: with k = ceil(bsize / step) a block holds k x k samples of at most 255. sum fits 32
// bits for every k <= 280 (255 * 78400 < 2^25); sumsq fits 32 bits while k <= 256
// (65025 * 65536 = 4,261,478,400 < 2^32). Only bsize 257..280 with step 1 needs k > 256, and then
// the 64-bit instantiation runs. sum^2 < 2^50 is formed in 64 bits.
template <typename Acc, unsigned K>
std::uint64_t block_row_total(const unsigned char* row0, unsigned block_size, unsigned row_step, unsigned k,
                              unsigned blocks_x, const divider& divide) {
    Acc sum[max_blocks_per_row] = {};
    Acc sumsq[max_blocks_per_row] = {};
    const unsigned count = K != 0 ? K : k;
    const std::size_t block_stride = 2 * static_cast<std::size_t>(block_size);
    for (unsigned dy = 0; dy < block_size; dy += row_step) {
        const unsigned char* p = row0 + row_bytes * dy;
        for (unsigned block = 0; block < blocks_x; ++block, p += block_stride) {
            Acc s = 0;
            Acc q = 0;
            for (unsigned i = 0; i < count; ++i) {
                const Acc v = p[2 * i];
                s += v;
                q += v * v;
            }
            sum[block] += s;
            sumsq[block] += q;
        }
    }
    std::uint64_t total = 0;
    for (unsigned block = 0; block < blocks_x; ++block) {
        const std::uint64_t s = sum[block];
        total += static_cast<std::uint64_t>(sumsq[block]) - divide(s * s);
    }
    return total;
}

template <typename Acc, unsigned K>
std::uint64_t window_total(const unsigned char* frame, unsigned block_size, unsigned row_step, unsigned k,
                           unsigned blocks_x, unsigned blocks_y, const divider& divide) {
    const unsigned char* row0 = frame + row_bytes * variance_window_y + 2 * variance_window_x;
    std::uint64_t acc = 0;
    for (unsigned block_y = 0; block_y < blocks_y; ++block_y, row0 += row_bytes * block_size) {
        acc += block_row_total<Acc, K>(row0, block_size, row_step, k, blocks_x, divide);
    }
    return acc;
}

// The four-corner weighted sum of the correction, unsigned 32-bit, shifted and cut to 8 bits.
inline unsigned char blend(std::uint32_t w0, std::uint32_t p0, std::uint32_t w1, std::uint32_t p1,
                           std::uint32_t w2, std::uint32_t p2, std::uint32_t w3, std::uint32_t p3) {
    return static_cast<unsigned char>((w0 * p0 + w1 * p1 + w2 * p2 + w3 * p3) >> 20);
}

inline unsigned char remap_pixel(const unsigned char* frame, const std::uint32_t* offsets,
                                 const std::uint32_t* weights) {
    const unsigned char* top = frame + offsets[0];
    const unsigned char* bottom = frame + offsets[1];
    return blend(weights[0], top[0], weights[1], top[2], weights[2], bottom[0], weights[3], bottom[2]);
}

// Table form. Four entries per step, packed into one 4-byte store: the loads of four entries are
// independent, and a single store per step keeps the compiler from re-reading the tables after
// every byte written through `out` (which may alias anything). The invert branch is taken once.
void correct_table_fast(const unsigned char* frame, unsigned char* out) {
    static_assert(remap_entries % 4 == 0, "the table form works four entries at a time");
    const std::uint32_t* offsets = &remapOffsetTable[0][0];
    const std::uint32_t* weights = &remapWeightTable[0][0];
    if (!invert) {
        for (std::size_t k = 0; k < remap_entries; k += 4, offsets += 8, weights += 16) {
            const unsigned char v[4] = {
                remap_pixel(frame, offsets, weights),
                remap_pixel(frame, offsets + 2, weights + 4),
                remap_pixel(frame, offsets + 4, weights + 8),
                remap_pixel(frame, offsets + 6, weights + 12),
            };
            std::memcpy(out + k, v, sizeof v);
        }
        return;
    }
    // Turned by 180 degrees: entry k lands at remap_entries - 1 - k.
    for (std::size_t k = 0; k < remap_entries; k += 4, offsets += 8, weights += 16) {
        const unsigned char v[4] = {
            remap_pixel(frame, offsets + 6, weights + 12),
            remap_pixel(frame, offsets + 4, weights + 8),
            remap_pixel(frame, offsets + 2, weights + 4),
            remap_pixel(frame, offsets, weights),
        };
        std::memcpy(out + (remap_entries - 4 - k), v, sizeof v);
    }
}

inline std::uint32_t matrix_sample(const unsigned char* frame, std::int32_t x, std::int32_t y) {
    return frame[2 * (static_cast<std::ptrdiff_t>(x) + std::ptrdiff_t{frame_width} * y)];
}

// Matrix form. Each row is checked once for its length, then walked with plain pointers; the
// inversions become a write direction and an XOR mask (255 - v == v ^ 255 for 8-bit v).
void correct_matrix_fast(const unsigned char* frame, unsigned char* out) {
    if (offsetMatrix.empty()) {
        return;
    }
    const std::size_t height = offsetMatrix.size();
    const std::size_t width = offsetMatrix[0].size();
    const unsigned char mask = invert_pixels ? 0xFF : 0x00;
    const std::ptrdiff_t direction = invert ? -1 : 1;
    unsigned char* dst = invert ? out + (height * width - 1) : out;
    for (std::size_t r = 0; r < height; ++r) {
        const std::vector<offset_entry>& offset_row = offsetMatrix[r];
        const std::vector<weight_entry>& weight_row = weightMatrix.at(r);
        if (offset_row.size() < width || weight_row.size() < width) {
            throw std::out_of_range("correction matrix row shorter than the first row");
        }
        const offset_entry* o = offset_row.data();
        const weight_entry* w = weight_row.data();
        for (std::size_t c = 0; c < width; ++c, ++o, ++w, dst += direction) {
            const unsigned char v =
                blend(static_cast<std::uint32_t>((*w)[0]), matrix_sample(frame, (*o)[0], (*o)[1]),
                      static_cast<std::uint32_t>((*w)[1]), matrix_sample(frame, (*o)[2], (*o)[3]),
                      static_cast<std::uint32_t>((*w)[2]), matrix_sample(frame, (*o)[4], (*o)[5]),
                      static_cast<std::uint32_t>((*w)[3]), matrix_sample(frame, (*o)[6], (*o)[7]));
            *dst = static_cast<unsigned char>(v ^ mask);
        }
    }
}

}  // namespace

// Same score as image_variance_reference(); see finger_kernels.h.
int image_variance_fast(const unsigned char* frame, int block_size, int row_step) {
    if (frame == nullptr || !variance_arguments_valid(block_size, row_step)) {
        return 0;
    }
    const unsigned b = static_cast<unsigned>(block_size);
    const unsigned s = static_cast<unsigned>(row_step);
    const unsigned blocks_x = variance_window_width / b;
    const unsigned blocks_y = variance_window_height / b;
    const std::uint64_t n = (std::uint64_t{b} * b) / (std::uint64_t{s} * s);
    const unsigned k = (b + s - 1) / s;
    // Valid arguments give n >= 1 and at least one block; say so where the divisions start.
    if (n == 0 || blocks_x == 0 || blocks_y == 0) {
        return 0;
    }
    const divider divide(n);

    std::uint64_t acc = 0;
    if (k == 2) {
        acc = window_total<std::uint32_t, 2>(frame, b, s, k, blocks_x, blocks_y, divide);
    } else if (k == 4) {
        acc = window_total<std::uint32_t, 4>(frame, b, s, k, blocks_x, blocks_y, divide);
    } else if (k == 8) {
        acc = window_total<std::uint32_t, 8>(frame, b, s, k, blocks_x, blocks_y, divide);
    } else if (k <= 256) {
        acc = window_total<std::uint32_t, 0>(frame, b, s, k, blocks_x, blocks_y, divide);
    } else {
        acc = window_total<std::uint64_t, 0>(frame, b, s, k, blocks_x, blocks_y, divide);
    }
    const std::uint64_t score = divide(acc) / (std::uint64_t{blocks_x} * blocks_y);
    return static_cast<int>(static_cast<std::uint32_t>(score));
}

// Same image as correct_image_reference(); see finger_kernels.h. A short matrix row raises
// std::out_of_range before any pixel of that row is written.
void correct_image_fast(const unsigned char* frame, unsigned char* out) {
    if (camera_sensor == "GC032A") {
        correct_matrix_fast(frame, out);
    } else {
        correct_table_fast(frame, out);
    }
}
