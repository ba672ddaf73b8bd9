// Portable faster twins of the per-frame kernels: same signatures and results as the references.
#include "finger_kernels.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr std::size_t row_bytes = kernel_row_bytes;
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

// The plan's arrays held in locals: stores through `out` (which may alias anything) then do not make
// the compiler read the array pointers again.
struct plan_arrays {
    explicit plan_arrays(const correction_plan& plan)
        : offset(plan.offset),
          w0(plan.weight[0]),
          w1(plan.weight[1]),
          w2(plan.weight[2]),
          w3(plan.weight[3]) {}

    // Output pixel k: the four-corner weighted sum, unsigned 32-bit, shifted and cut to 8 bits, XORed
    // with `mask` (0 or 255; 255 - v == v ^ 255 for 8-bit v).
    unsigned char blend(const unsigned char* frame, std::size_t k, unsigned char mask) const {
        const unsigned char* top = frame + offset[k];
        const unsigned char* bottom = top + row_bytes;
        const std::uint32_t sum = w0[k] * top[0] + w1[k] * top[2] + w2[k] * bottom[0] + w3[k] * bottom[2];
        return static_cast<unsigned char>((sum >> 20) ^ mask);
    }

    const std::uint32_t* offset;
    const std::uint32_t* w0;
    const std::uint32_t* w1;
    const std::uint32_t* w2;
    const std::uint32_t* w3;
};

// Four pixels per step, packed into one 4-byte store: the loads of four pixels are independent, and a
// single store per step keeps the compiler from re-reading the plan after every byte written. Turned,
// each group of four is stored reversed at the mirrored position. The last pixels/4 remainder goes one
// at a time.
template <bool Turn>
void correct_plan_fast(const unsigned char* frame, const correction_plan& plan, unsigned char mask,
                       unsigned char* out) {
    const plan_arrays arrays(plan);
    const std::size_t n = plan.pixels;
    const std::size_t whole = n - n % 4;
    for (std::size_t k = 0; k < whole; k += 4) {
        const unsigned char a = arrays.blend(frame, k, mask);
        const unsigned char b = arrays.blend(frame, k + 1, mask);
        const unsigned char c = arrays.blend(frame, k + 2, mask);
        const unsigned char d = arrays.blend(frame, k + 3, mask);
        if (Turn) {
            const unsigned char v[4] = {d, c, b, a};
            std::memcpy(out + (n - 4 - k), v, sizeof v);
        } else {
            const unsigned char v[4] = {a, b, c, d};
            std::memcpy(out + k, v, sizeof v);
        }
    }
    for (std::size_t k = whole; k < n; ++k) {
        out[Turn ? n - 1 - k : k] = arrays.blend(frame, k, mask);
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

// Same image as correct_image_reference(); see finger_kernels.h.
void correct_image_fast(const unsigned char* frame, const correction_plan& plan, correction_flags flags,
                        unsigned char* out) {
    const unsigned char mask = flags.invert_pixels ? 0xFF : 0x00;
    if (flags.invert) {
        correct_plan_fast<true>(frame, plan, mask, out);
    } else {
        correct_plan_fast<false>(frame, plan, mask, out);
    }
}
