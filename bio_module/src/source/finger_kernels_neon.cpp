// NEON twins of the per-frame kernels for the board (ARMv7-A): compiled with -mfpu=neon on 32-bit ARM
// only (Debian's armhf baseline has no NEON) and empty elsewhere; listed only when the processor reports
// NEON. Everything here has internal linkage but the variant itself: an inline function or template
// instance compiled with NEON must never be the copy that the baseline code links to.
#include "finger_kernels.h"

#include <cstdint>

#ifdef __ARM_NEON
#include <arm_neon.h>

namespace {

constexpr std::size_t row_bytes = kernel_row_bytes;

// The frame's bytes as the element type of a load. The loads carry no alignment hint, and an ARMv7-A
// core running Linux performs them at any address.
template <typename Element>
inline const Element* elements_at(const unsigned char* p) {
    return static_cast<const Element*>(static_cast<const void*>(p));
}

// ------------------------------------------------------------------ frame score

// Block counts of the window and the first sample of block row `block_y`.
struct score_geometry {
    unsigned block_size;
    unsigned row_step;
    unsigned k;  // samples per sampled row and sampled rows per block: ceil(bsize / step)
    unsigned blocks_x;
    unsigned blocks_y;
    std::uint64_t n;  // floor(bsize^2 / step^2)

    const unsigned char* block_row(const unsigned char* frame, unsigned block_y) const {
        return frame + row_bytes * (variance_window_y + block_y * block_size) + 2 * variance_window_x;
    }
};

// floor(x / n), a 32-bit division when x allows (on 32-bit ARM a 64-bit one is a library call).
std::uint64_t divide_by(std::uint64_t x, std::uint64_t n) {
    if ((n & (n - 1)) == 0) {
        return x >> __builtin_ctzll(n);
    }
    if ((x >> 32) == 0) {
        return static_cast<std::uint32_t>(x) / static_cast<std::uint32_t>(n);
    }
    return x / n;
}

// Samples of two horizontally adjacent blocks in one sampled row, as eight 16-bit lanes.
// bsize 8: blocks 16 bytes apart; one 4 x 32-bit de-interleaving load of 32 bytes puts pixels 0-1 of
// both blocks in its first register and pixels 2-3 in its second: lanes A0 A1 B0 B1 A2 A3 B2 B3, each
// a sample with its colour byte above it.
struct adjacent_pair {
    static uint16x8_t load(const unsigned char* p, std::size_t /*block_bytes*/) {
        const uint32x2x4_t words = vld4_u32(elements_at<std::uint32_t>(p));
        return vreinterpretq_u16_u32(vcombine_u32(words.val[0], words.val[1]));
    }
    // Per-block totals from four 32-bit lanes (A01 B01 A23 B23).
    static uint32x2_t per_block(uint32x4_t lanes) {
        return vadd_u32(vget_low_u32(lanes), vget_high_u32(lanes));
    }
};

// Any other block width: one 8-byte load per block; lanes A0 A1 A2 A3 B0 B1 B2 B3.
struct strided_pair {
    static uint16x8_t load(const unsigned char* p, std::size_t block_bytes) {
        return vcombine_u16(vld1_u16(elements_at<std::uint16_t>(p)),
                            vld1_u16(elements_at<std::uint16_t>(p + block_bytes)));
    }
    // Per-block totals from four 32-bit lanes (A01 A23 B01 B23).
    static uint32x2_t per_block(uint32x4_t lanes) {
        return vpadd_u32(vget_low_u32(lanes), vget_high_u32(lanes));
    }
};

// Four samples a row and four sampled rows a block, with n = 16 (step * 4 == bsize): two blocks at a
// time, every term sumsq - floor(sum^2 / 16) added to the two 64-bit lanes of acc. Bounds: a column
// of four samples sums to at most 1020 and a square is at most 65025 (both 16 bits); the pairwise
// widening adds give at most 8 squares, 520200, per 32-bit lane; sum^2 is formed in 64 bits.
template <typename Pair>
uint64x2_t k4_window(const unsigned char* frame, const score_geometry& g) {
    const std::size_t block_bytes = 2 * std::size_t{g.block_size};
    const std::size_t sampled_row = row_bytes * g.row_step;
    const uint16x8_t sample_byte = vdupq_n_u16(0xFF);
    const uint32x2_t keep_first = vcreate_u32(0xFFFFFFFFu);
    uint64x2_t acc = vdupq_n_u64(0);
    for (unsigned block_y = 0; block_y < g.blocks_y; ++block_y) {
        const unsigned char* p = g.block_row(frame, block_y);
        for (unsigned block = 0; block < g.blocks_x; block += 2, p += 2 * block_bytes) {
            const uint16x8_t r0 = vandq_u16(Pair::load(p, block_bytes), sample_byte);
            const uint16x8_t r1 = vandq_u16(Pair::load(p + sampled_row, block_bytes), sample_byte);
            const uint16x8_t r2 = vandq_u16(Pair::load(p + 2 * sampled_row, block_bytes), sample_byte);
            const uint16x8_t r3 = vandq_u16(Pair::load(p + 3 * sampled_row, block_bytes), sample_byte);
            const uint16x8_t column = vaddq_u16(vaddq_u16(r0, r1), vaddq_u16(r2, r3));
            uint32x4_t squares = vpaddlq_u16(vmulq_u16(r0, r0));
            squares = vpadalq_u16(squares, vmulq_u16(r1, r1));
            squares = vpadalq_u16(squares, vmulq_u16(r2, r2));
            squares = vpadalq_u16(squares, vmulq_u16(r3, r3));
            uint32x2_t sum = Pair::per_block(vpaddlq_u16(column));
            uint32x2_t sumsq = Pair::per_block(squares);
            if (block + 1 == g.blocks_x) {
                // An odd count: the second block of the last pair lies outside the window.
                sum = vand_u32(sum, keep_first);
                sumsq = vand_u32(sumsq, keep_first);
            }
            acc = vaddw_u32(acc, sumsq);
            acc = vsubq_u64(acc, vshrq_n_u64(vmull_u32(sum, sum), 4));
        }
    }
    return acc;
}

// bsize 4, step 2: two samples a row, two sampled rows a block, n = 4, four blocks at a time. One
// 4 x 16-bit de-interleaving load of 32 bytes puts pixel 0 of four blocks in one register and pixel 1
// in the next; lanes P0 of blocks 0-3, then P1 of blocks 0-3. Bounds: a block sums to at most 1020,
// its squares to 260100, its sum^2 to 1040400 (32 bits); sumsq >= sum^2 / 4 (four samples, n = 4),
// so the 32-bit term is the exact, non-negative 64-bit one.
uint64x2_t k2_window(const unsigned char* frame, const score_geometry& g) {
    const std::size_t sampled_row = row_bytes * g.row_step;
    const uint32x4_t keep_two = vcombine_u32(vcreate_u32(~0ull), vcreate_u32(0));
    uint64x2_t acc = vdupq_n_u64(0);
    for (unsigned block_y = 0; block_y < g.blocks_y; ++block_y) {
        const unsigned char* p = g.block_row(frame, block_y);
        for (unsigned block = 0; block < g.blocks_x; block += 4, p += 32) {
            const uint16x4x4_t top_pixels = vld4_u16(elements_at<std::uint16_t>(p));
            const uint16x4x4_t next_pixels = vld4_u16(elements_at<std::uint16_t>(p + sampled_row));
            const uint8x8_t r0 =
                vuzp_u8(vreinterpret_u8_u16(top_pixels.val[0]), vreinterpret_u8_u16(top_pixels.val[1]))
                    .val[0];
            const uint8x8_t r1 =
                vuzp_u8(vreinterpret_u8_u16(next_pixels.val[0]), vreinterpret_u8_u16(next_pixels.val[1]))
                    .val[0];
            const uint16x8_t column = vaddl_u8(r0, r1);
            const uint16x4_t sum = vadd_u16(vget_low_u16(column), vget_high_u16(column));
            const uint16x8_t q0 = vmull_u8(r0, r0);
            const uint16x8_t q1 = vmull_u8(r1, r1);
            const uint32x4_t sumsq = vaddq_u32(vaddl_u16(vget_low_u16(q0), vget_low_u16(q1)),
                                               vaddl_u16(vget_high_u16(q0), vget_high_u16(q1)));
            uint32x4_t term = vsubq_u32(sumsq, vshrq_n_u32(vmull_u16(sum, sum), 2));
            if (block + 4 > g.blocks_x) {
                // 110 blocks a row: the last group's two last blocks lie outside the window.
                term = vandq_u32(term, keep_two);
            }
            acc = vpadalq_u32(acc, term);
        }
    }
    return acc;
}

// Any block size and step: each block on its own, eight samples of a sampled row at a time, the last
// chunk cut to the row's remaining samples. Bounds: a block has at most 280 x 35 chunks; each 32-bit
// lane of the sums takes 4 samples a chunk (at most 9.996e6) and each lane of the squares 2 (at most
// 1.27e9), so the lanes never wrap; the block's totals and the term are formed in 64 bits, modulo
// 2^64 as in the reference.
std::uint64_t general_window(const unsigned char* frame, const score_geometry& g) {
    const unsigned tail = g.k % 8;
    const uint8x8_t tail_mask = vcreate_u8(tail == 0 ? ~0ull : (~0ull >> (8 * (8 - tail))));
    const std::size_t sampled_row = row_bytes * g.row_step;
    std::uint64_t acc = 0;
    for (unsigned block_y = 0; block_y < g.blocks_y; ++block_y) {
        const unsigned char* block = g.block_row(frame, block_y);
        for (unsigned block_x = 0; block_x < g.blocks_x; ++block_x, block += 2 * g.block_size) {
            uint32x2_t sums = vdup_n_u32(0);
            uint32x4_t squares = vdupq_n_u32(0);
            const unsigned char* row = block;
            for (unsigned j = 0; j < g.k; ++j, row += sampled_row) {
                for (unsigned i = 0; i < g.k; i += 8) {
                    uint8x8_t x = vld2_u8(row + 2 * i).val[0];
                    if (i + 8 > g.k) {
                        x = vand_u8(x, tail_mask);
                    }
                    sums = vpadal_u16(sums, vpaddl_u8(x));
                    squares = vpadalq_u16(squares, vmull_u8(x, x));
                }
            }
            const std::uint64_t sum = vget_lane_u64(vpaddl_u32(sums), 0);
            const uint64x2_t square_pairs = vpaddlq_u32(squares);
            const std::uint64_t sumsq = vgetq_lane_u64(square_pairs, 0) + vgetq_lane_u64(square_pairs, 1);
            acc += sumsq - divide_by(sum * sum, g.n);
        }
    }
    return acc;
}

// Same score as image_variance_reference(); see finger_kernels.h.
int image_variance_neon(const unsigned char* frame, int block_size, int row_step) {
    if (frame == nullptr || !variance_arguments_valid(block_size, row_step)) {
        return 0;
    }
    score_geometry g;
    g.block_size = static_cast<unsigned>(block_size);
    g.row_step = static_cast<unsigned>(row_step);
    g.k = (g.block_size + g.row_step - 1) / g.row_step;
    g.blocks_x = variance_window_width / g.block_size;
    g.blocks_y = variance_window_height / g.block_size;
    g.n = (std::uint64_t{g.block_size} * g.block_size) / (std::uint64_t{g.row_step} * g.row_step);
    // Valid arguments give n >= 1 and at least one block; say so where the divisions start.
    if (g.n == 0 || g.blocks_x == 0 || g.blocks_y == 0) {
        return 0;
    }
    std::uint64_t acc = 0;
    if (g.block_size == 4 * g.row_step) {
        const uint64x2_t lanes =
            g.block_size == 8 ? k4_window<adjacent_pair>(frame, g) : k4_window<strided_pair>(frame, g);
        acc = vgetq_lane_u64(lanes, 0) + vgetq_lane_u64(lanes, 1);
    } else if (g.block_size == 4 && g.row_step == 2) {
        const uint64x2_t lanes = k2_window(frame, g);
        acc = vgetq_lane_u64(lanes, 0) + vgetq_lane_u64(lanes, 1);
    } else {
        acc = general_window(frame, g);
    }
    const std::uint64_t score = divide_by(acc, g.n) / (std::uint64_t{g.blocks_x} * g.blocks_y);
    return static_cast<int>(static_cast<std::uint32_t>(score));
}

// ------------------------------------------------------------------ correction

// Output pixel k one at a time, as the reference computes it.
unsigned char correct_one(const unsigned char* frame, const correction_plan& plan, std::size_t k,
                          unsigned char mask) {
    const unsigned char* top = frame + plan.offset[k];
    const unsigned char* bottom = top + row_bytes;
    const std::uint32_t sum = plan.weight[0][k] * top[0] + plan.weight[1][k] * top[2] +
                              plan.weight[2][k] * bottom[0] + plan.weight[3][k] * bottom[2];
    return static_cast<unsigned char>((sum >> 20) ^ mask);
}

// What the eight-pixel loop reads, in the order it loads them into r1-r6 and r8.
struct group_loop {
    const std::uint32_t* offset;
    const std::uint32_t* weight[4];
    unsigned char* out;  // the first group's bytes; turned, the mirrored group's
    std::size_t groups;  // at least 1
};

// Pixels in groups of eight: each group's eight bytes, XORed with `mask` and reversed when `Turn`, are
// stored at loop.out, which then moves by 8 bytes (back by 8 turned).
//
// Gather: a pixel's four samples are bytes 0 and 2 of the 4-byte word at frame + offset (top) and of
// the word one frame row below (bottom). Eight offsets load at once, the frame's address is added in
// the vector unit and the addresses move to core registers two by two; each top word loads into a
// lane with the address then moved on by 1280, and the bottom word from there. The words de-interleave
// into 16-bit lanes (low halves: bytes 0 and 1, high halves: bytes 2 and 3) and lose their odd byte.
//
// Arithmetic: the reference's sum is modulo 2^32. Each weight splits as it loads into its low and high
// 16 bits, w = h * 2^16 + l. L = sum of l * sample is exact in 32 bits (4 * 65535 * 255 < 2^26);
// H = sum of h * sample is needed modulo 2^16 only; the sum is L + H * 2^16 modulo 2^32, so its bits
// 20..27, the output, are bits 4..11 of (L >> 16) + H modulo 2^16. 53 instructions per eight pixels.
//
// Registers: r1 offsets, r2-r5 weight arrays, r6 out, r8 groups left, r9 and r10 pixel addresses,
// r12 the frame row (1280), lr the output step. They are named here rather than left to the compiler,
// which then has to find one core register only (r0 stays free for it), at any optimisation level.
template <bool Turn>
void correct_groups(const unsigned char* frame, const group_loop& loop, unsigned char mask) {
    const uint32x4_t base = vdupq_n_u32(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(frame)));
    const uint8x8_t mask8 = vdup_n_u8(mask);
    __asm__ volatile(
        "ldm        %[loop], {r1-r6, r8}\n"
        "movw       r12, #1280\n"
        ".if %c[turn]\n mvn lr, #7\n .else\n mov lr, #8\n .endif\n"
        "1:\n"
        // Addresses of the eight pixels' top words.
        "vld1.32    {d0-d3}, [r1]!\n"
        "vadd.i32   q0, q0, %q[base]\n"
        "vadd.i32   q1, q1, %q[base]\n"
        // Top words of pixels 0-3 to q2, 4-7 to q3; bottom words to q4 and q5.
        "vmov       r9, r10, d0\n"
        "vld1.32    {d4[0]}, [r9], r12\n   vld1.32 {d8[0]}, [r9]\n"
        "vld1.32    {d4[1]}, [r10], r12\n  vld1.32 {d8[1]}, [r10]\n"
        "vmov       r9, r10, d1\n"
        "vld1.32    {d5[0]}, [r9], r12\n   vld1.32 {d9[0]}, [r9]\n"
        "vld1.32    {d5[1]}, [r10], r12\n  vld1.32 {d9[1]}, [r10]\n"
        "vmov       r9, r10, d2\n"
        "vld1.32    {d6[0]}, [r9], r12\n   vld1.32 {d10[0]}, [r9]\n"
        "vld1.32    {d6[1]}, [r10], r12\n  vld1.32 {d10[1]}, [r10]\n"
        "vmov       r9, r10, d3\n"
        "vld1.32    {d7[0]}, [r9], r12\n   vld1.32 {d11[0]}, [r9]\n"
        "vld1.32    {d7[1]}, [r10], r12\n  vld1.32 {d11[1]}, [r10]\n"
        // Samples as 16-bit lanes: q2 top-left, q3 top-right, q4 bottom-left, q5 bottom-right.
        "vuzp.16    q2, q3\n               vuzp.16 q4, q5\n"
        "vbic.i16   q2, #0xff00\n          vbic.i16 q3, #0xff00\n"
        "vbic.i16   q4, #0xff00\n          vbic.i16 q5, #0xff00\n"
        // L in q8 (pixels 0-3) and q9 (4-7), H in q10; each weight array as l in q12, h in q13.
        "vld2.16    {d24-d27}, [r2]!\n"
        "vmull.u16  q8, d4, d24\n          vmull.u16 q9, d5, d25\n   vmul.i16 q10, q2, q13\n"
        "vld2.16    {d24-d27}, [r3]!\n"
        "vmlal.u16  q8, d6, d24\n          vmlal.u16 q9, d7, d25\n   vmla.i16 q10, q3, q13\n"
        "vld2.16    {d24-d27}, [r4]!\n"
        "vmlal.u16  q8, d8, d24\n          vmlal.u16 q9, d9, d25\n   vmla.i16 q10, q4, q13\n"
        "vld2.16    {d24-d27}, [r5]!\n"
        "vmlal.u16  q8, d10, d24\n         vmlal.u16 q9, d11, d25\n  vmla.i16 q10, q5, q13\n"
        // Bits 16..31 of the sums, then their bits 4..11: the eight output bytes, stored.
        "vshrn.i32  d16, q8, #16\n         vshrn.i32 d17, q9, #16\n"
        "vadd.i16   q8, q8, q10\n"
        "vshrn.i16  d16, q8, #4\n"
        "veor       d16, d16, %P[mask]\n"
        ".if %c[turn]\n vrev64.8 d16, d16\n .endif\n"
        "vst1.8     {d16}, [r6], lr\n"
        "subs       r8, r8, #1\n"
        "bne        1b\n"
        :
        : [loop] "r"(&loop), [base] "w"(base), [mask] "w"(mask8), [turn] "i"(Turn ? 1 : 0)
        : "cc", "memory", "r1", "r2", "r3", "r4", "r5", "r6", "r8", "r9", "r10", "r12", "lr", "d0", "d1",
          "d2", "d3", "d4", "d5", "d6", "d7", "d8", "d9", "d10", "d11", "d16", "d17", "d18", "d19", "d20",
          "d21", "d24", "d25", "d26", "d27");
}

// The whole groups of eight through correct_groups(), the last pixels/8 remainder one at a time.
template <bool Turn>
void correct_plan_neon(const unsigned char* frame, const correction_plan& plan, unsigned char mask,
                       unsigned char* out) {
    const std::size_t n = plan.pixels;
    const std::size_t whole = n - n % 8;
    if (whole > 0) {
        const group_loop loop = {plan.offset,
                                 {plan.weight[0], plan.weight[1], plan.weight[2], plan.weight[3]},
                                 Turn ? out + n - 8 : out,
                                 whole / 8};
        correct_groups<Turn>(frame, loop, mask);
    }
    for (std::size_t k = whole; k < n; ++k) {
        out[Turn ? n - 1 - k : k] = correct_one(frame, plan, k, mask);
    }
}

// Same image as correct_image_reference(); see finger_kernels.h.
void correct_image_neon(const unsigned char* frame, const correction_plan& plan, correction_flags flags,
                        unsigned char* out) {
    const unsigned char mask = flags.invert_pixels ? 0xFF : 0x00;
    if (flags.invert) {
        correct_plan_neon<true>(frame, plan, mask, out);
    } else {
        correct_plan_neon<false>(frame, plan, mask, out);
    }
}

}  // namespace

const kernel_variant* neon_variant() {
    static const kernel_variant variant = {"neon", image_variance_neon, correct_image_neon};
    return &variant;
}

#else

const kernel_variant* neon_variant() {
    return nullptr;
}

#endif
