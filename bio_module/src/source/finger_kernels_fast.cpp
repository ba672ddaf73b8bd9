// Portable faster rows of the per-frame kernels: the same results as the reference rows, for cores
// without a vector twin.
#include "finger_kernels.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr std::size_t row_bytes = kernel_row_bytes;
constexpr unsigned max_blocks_per_row = variance_window_width;  // bsize 1

// The row's sampled rows are walked left to right across all its blocks, so the window is read in
// memory order; each block keeps its running sums in sum[] and sumsq[].
//
// Acc bounds: with k = ceil(bsize / step) a block holds k x k samples of at most 255. sum fits 32
// bits for every k <= 280 (255 * 78400 < 2^25); sumsq fits 32 bits while k <= 256
// (65025 * 65536 = 4,261,478,400 < 2^32). Only bsize 257..280 with step 1 needs k > 256, and then
// the 64-bit instantiation runs. sum^2 < 2^50 is formed in 64 bits.
template <typename Acc, unsigned K>
std::uint64_t block_row_total(const unsigned char* row, const score_geometry& g, unsigned blocks) {
    Acc sum[max_blocks_per_row] = {};
    Acc sumsq[max_blocks_per_row] = {};
    const unsigned count = K != 0 ? K : g.samples;
    const std::size_t block_stride = 2 * static_cast<std::size_t>(g.block_size);
    for (unsigned dy = 0; dy < g.block_size; dy += g.row_step) {
        const unsigned char* p = row + row_bytes * dy;
        for (unsigned block = 0; block < blocks; ++block, p += block_stride) {
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
    for (unsigned block = 0; block < blocks; ++block) {
        const std::uint64_t s = sum[block];
        total += static_cast<std::uint64_t>(sumsq[block]) - divide_by_n(s * s, g);
    }
    return total;
}

// The row's arrays and destination held in locals: stores through `out` (which may alias anything) then
// do not make the compiler read them again.
struct row_arrays {
    row_arrays(const correction_plan& whole, const correction_row& row)
        : plan{whole.offset + row.first,
               {whole.weight[0] + row.first, whole.weight[1] + row.first, whole.weight[2] + row.first,
                whole.weight[3] + row.first},
               row.count,
               row.count,
               nullptr},
          out(row.out),
          mask(row.mask) {}

    unsigned char value(const unsigned char* frame, std::size_t i) const {
        return static_cast<unsigned char>(corrected_value(frame, plan, i) ^ mask);
    }

    correction_plan plan;  // the row's pixels only
    unsigned char* out;
    unsigned char mask;
};

// Four pixels per step, packed into one 4-byte store: the loads of four pixels are independent, and a
// single store per step keeps the compiler from re-reading the plan after every byte written. Turned,
// each group of four is stored reversed at the mirrored position.
template <bool Turn>
std::size_t correct_fours(const unsigned char* frame, const correction_plan& plan,
                          const correction_row& row) {
    const row_arrays arrays(plan, row);
    const std::size_t whole = row.count - row.count % 4;
    for (std::size_t i = 0; i < whole; i += 4) {
        const unsigned char a = arrays.value(frame, i);
        const unsigned char b = arrays.value(frame, i + 1);
        const unsigned char c = arrays.value(frame, i + 2);
        const unsigned char d = arrays.value(frame, i + 3);
        if (Turn) {
            const unsigned char v[4] = {d, c, b, a};
            std::memcpy(arrays.out - i - 3, v, sizeof v);
        } else {
            const unsigned char v[4] = {a, b, c, d};
            std::memcpy(arrays.out + i, v, sizeof v);
        }
    }
    return whole;
}

}  // namespace

unsigned score_row_fast(const unsigned char* row, const score_geometry& g, unsigned blocks,
                        std::uint64_t& total) {
    if (g.samples == 2) {
        total += block_row_total<std::uint32_t, 2>(row, g, blocks);
    } else if (g.samples == 4) {
        total += block_row_total<std::uint32_t, 4>(row, g, blocks);
    } else if (g.samples == 8) {
        total += block_row_total<std::uint32_t, 8>(row, g, blocks);
    } else if (g.samples <= 256) {
        total += block_row_total<std::uint32_t, 0>(row, g, blocks);
    } else {
        total += block_row_total<std::uint64_t, 0>(row, g, blocks);
    }
    return blocks;
}

// The row's pixels by fours; the last count % 4 are left to the reference row.
std::size_t correct_row_fast(const correction_job& job, std::size_t index) {
    const correction_row row = job_row(job, index);
    return row.direction < 0 ? correct_fours<true>(job.frame, *job.plan, row)
                             : correct_fours<false>(job.frame, *job.plan, row);
}
