// NEON rows of the per-frame kernels for the board (ARMv7-A): compiled with -mfpu=neon on 32-bit ARM
// only (Debian's armhf baseline has no NEON) and empty elsewhere; listed only when the processor reports
// NEON. Everything here has internal linkage but the variant itself: an inline function or template
// instance compiled with NEON must never be the copy that the baseline code links to.
#include "finger_kernels.h"

#include <cstdint>

#ifdef __ARM_NEON
#include <arm_neon.h>

namespace {

// The frame's bytes as the element type of a load. The loads carry no alignment hint, and an ARMv7-A
// core running Linux performs them at any address.
template <typename Element>
inline const Element* elements_at(const unsigned char* p) {
    return static_cast<const Element*>(static_cast<const void*>(p));
}

// ------------------------------------------------------------------ frame score
//
// The rows below use that a row's total of terms sumsq - floor(sum^2 / n) is its sum of the squares of
// all its samples less the sum of its blocks' floor(sum^2 / n): the squares go into one accumulator
// whatever block they belong to, and only the sums are kept per block. Where the groups of blocks do
// not divide the row, the last group reads past the row's last block (at most 32 pixels, inside the
// window's margin) and keeps only the lanes of the blocks that are there.

// A 16-byte mask that keeps the lanes of blocks below `blocks`, given each lane's block.
inline uint8x16_t lanes_below(const std::uint8_t (&lane_block)[16], unsigned blocks) {
    return vcltq_u8(vld1q_u8(lane_block), vdupq_n_u8(static_cast<std::uint8_t>(blocks)));
}

// Four samples a row and four sampled rows a block with n = 16 (bsize = 4 * step), any block width: the
// samples of four blocks in one sampled row, as 16 bytes (one 8-byte load per block; lanes A0-A3 B0-B3
// C0-C3 D0-D3), and the blocks' sums from the pairwise sums of their lanes.
struct strided_blocks {
    static uint8x16_t load(const unsigned char* p, std::size_t block_bytes) {
        const uint8x16_t ab = vcombine_u8(vld1_u8(p), vld1_u8(p + block_bytes));
        const uint8x16_t cd = vcombine_u8(vld1_u8(p + 2 * block_bytes), vld1_u8(p + 3 * block_bytes));
        return vuzpq_u8(ab, cd).val[0];
    }
    // A01 A23 B01 B23 to A B.
    static uint32x2_t per_block(uint32x4_t pairs) {
        return vpadd_u32(vget_low_u32(pairs), vget_high_u32(pairs));
    }
};

// Running totals of one row: the squares of its samples (two accumulators, for the two halves of a
// vector) and the blocks' floor(sum^2 / n).
struct row_sums {
    uint32x4_t squares_low = vdupq_n_u32(0);
    uint32x4_t squares_high = vdupq_n_u32(0);
    uint32x4_t pressed = vdupq_n_u32(0);

    void add_squares(uint8x16_t s) {
        squares_low = vpadalq_u16(squares_low, vmull_u8(vget_low_u8(s), vget_low_u8(s)));
        squares_high = vpadalq_u16(squares_high, vmull_u8(vget_high_u8(s), vget_high_u8(s)));
    }
    // sum of squares less the pressed sums; both are below 2^32 for every row of these paths.
    std::uint64_t total() const {
        const uint64x2_t squares = vpaddlq_u32(vaddq_u32(squares_low, squares_high));
        const uint64x2_t minus = vpaddlq_u32(pressed);
        const uint64x2_t lanes = vsubq_u64(squares, minus);
        return vgetq_lane_u64(lanes, 0) + vgetq_lane_u64(lanes, 1);
    }
};

// Four blocks, all four sampled rows. Bounds: a column of four samples sums to at most 1020 (16 bits),
// a block to 4080 and its square to 16.6e6 (32 bits); each 32-bit lane takes at most 8 squares
// (520200) and one floor(sum^2 / 16) (1040400) a step, for at most 28 steps a row.
template <bool Masked>
inline void k4_step(const unsigned char* p, std::size_t sampled_row, std::size_t block_bytes, uint8x16_t keep,
                    row_sums& sums) {
    uint8x16_t s[4];
    for (unsigned j = 0; j < 4; ++j) {
        s[j] = strided_blocks::load(p + j * sampled_row, block_bytes);
        if (Masked) {
            s[j] = vandq_u8(s[j], keep);
        }
        sums.add_squares(s[j]);
    }
    uint16x8_t low = vaddl_u8(vget_low_u8(s[0]), vget_low_u8(s[1]));
    uint16x8_t high = vaddl_u8(vget_high_u8(s[0]), vget_high_u8(s[1]));
    low = vaddw_u8(vaddw_u8(low, vget_low_u8(s[2])), vget_low_u8(s[3]));
    high = vaddw_u8(vaddw_u8(high, vget_high_u8(s[2])), vget_high_u8(s[3]));
    const uint32x4_t block_sums = vcombine_u32(strided_blocks::per_block(vpaddlq_u16(low)),
                                               strided_blocks::per_block(vpaddlq_u16(high)));
    sums.pressed = vsraq_n_u32(sums.pressed, vmulq_u32(block_sums, block_sums), 4);
}

// ------------------------------------------------------------------ any block size and step

// One block of any size: eight samples of a sampled row at a time, the last chunk cut to the row's
// remaining samples. Bounds: a block has at most 280 x 35 chunks; each 32-bit lane of the sums takes 4
// samples a chunk (at most 9.996e6) and each lane of the squares 2 (at most 1.27e9), so the lanes never
// wrap; the block's totals and the term are formed in 64 bits, modulo 2^64 as in the reference.
std::uint64_t block_term(const unsigned char* block, const score_geometry& g) {
    const unsigned tail = g.samples % 8;
    const uint8x8_t tail_mask = vcreate_u8(tail == 0 ? ~0ull : (~0ull >> (8 * (8 - tail))));
    uint32x2_t sums = vdup_n_u32(0);
    uint32x4_t squares = vdupq_n_u32(0);
    const unsigned char* row = block;
    for (unsigned j = 0; j < g.samples; ++j, row += g.sampled_row_bytes) {
        for (unsigned i = 0; i < g.samples; i += 8) {
            uint8x8_t x = vld2_u8(row + 2 * i).val[0];
            if (i + 8 > g.samples) {
                x = vand_u8(x, tail_mask);
            }
            sums = vpadal_u16(sums, vpaddl_u8(x));
            squares = vpadalq_u16(squares, vmull_u8(x, x));
        }
    }
    const std::uint64_t sum = vget_lane_u64(vpaddl_u32(sums), 0);
    const uint64x2_t square_pairs = vpaddlq_u32(squares);
    const std::uint64_t sumsq = vgetq_lane_u64(square_pairs, 0) + vgetq_lane_u64(square_pairs, 1);
    return sumsq - divide_by_n(sum * sum, g);
}

// bsize = 4 * step, any width but 8: four blocks a step. The blocks after the last whole group go as one
// more group, masked, when its last sample is still inside the frame's row, else one at a time.
constexpr std::uint8_t strided_lane_block[16] = {0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3};

std::uint64_t k4_row(const unsigned char* row, const score_geometry& g, unsigned blocks) {
    const std::size_t block_bytes = 2 * std::size_t{g.block_size};
    row_sums sums;
    unsigned block = 0;
    for (; block + 4 <= blocks; block += 4) {
        k4_step<false>(row + block * block_bytes, g.sampled_row_bytes, block_bytes, vdupq_n_u8(0), sums);
    }
    constexpr unsigned frame_width = kernel_row_bytes / 2;
    if (block < blocks && variance_window_x + (block + 3) * g.block_size + 4 <= frame_width) {
        k4_step<true>(row + block * block_bytes, g.sampled_row_bytes, block_bytes,
                      lanes_below(strided_lane_block, blocks - block), sums);
        block = blocks;
    }
    std::uint64_t total = sums.total();
    for (; block < blocks; ++block) {
        total += block_term(row + block * block_bytes, g);
    }
    return total;
}

// The two usual settings, in assembly for the count of instructions (the compiler moves registers around
// the de-interleaving loads): `groups` steps of a row from `p0`, the first sampled row, each step
// `groups` further; with `Masked`, the samples are ANDed with `keep` first. Registers: d0-d7 and d16-d27;
// the sums go where the compiler puts them.
#define BIO_NEON_SCORE_LOOP_END "subs %[groups], %[groups], #1\n bne 1b\n"
#define BIO_NEON_SCORE_CLOBBERS                                                                        \
    "cc", "memory", "d0", "d1", "d2", "d3", "d4", "d5", "d6", "d7", "d16", "d17", "d18", "d19", "d20", \
        "d21", "d22", "d23", "d24", "d25", "d26", "d27"

// bsize 8, step 2: four blocks (64 bytes) a step. A 4 x 32-bit de-interleaving load of 32 bytes puts
// pixels 0-1 of two blocks in its first register and pixels 2-3 in its second; with the next two blocks'
// load, the samples parted from their colour bytes (vuzp) are A0 A1 B0 B1 A2 A3 B2 B3 C0 C1 D0 D1 C2 C3
// D2 D3. The four sampled rows' lanes add up to column sums, their pairs to the blocks' sums; the squares
// go to the row's accumulators whatever their block. 40 instructions a step. Bounds as k4_step().
constexpr std::uint8_t adjacent_lane_block[16] = {0, 0, 1, 1, 0, 0, 1, 1, 2, 2, 3, 3, 2, 2, 3, 3};

template <bool Masked>
void adjacent_groups(const unsigned char* p0, std::size_t sampled_row, unsigned groups, uint8x16_t keep,
                     row_sums& sums) {
    const unsigned char* p1 = p0 + sampled_row;
    const unsigned char* p2 = p1 + sampled_row;
    const unsigned char* p3 = p2 + sampled_row;
    __asm__ volatile(
        "1:\n"
        "vld4.32    {d0-d3}, [%[p0]]!\n       vld4.32 {d24-d27}, [%[p0]]!\n"
        "vld4.32    {d2-d5}, [%[p1]]!\n       vld4.32 {d20-d23}, [%[p1]]!\n"
        "vuzp.8     q0, q12\n"
        "vld4.32    {d4-d7}, [%[p2]]!\n"
        "vuzp.8     q1, q10\n"
        "vld4.32    {d24-d27}, [%[p2]]!\n"
        "vld4.32    {d16-d19}, [%[p3]]!\n     vld4.32 {d20-d23}, [%[p3]]!\n"
        "vuzp.8     q2, q12\n                 vuzp.8 q8, q10\n"
        ".if %c[masked]\n"
        "vand       q0, q0, %q[keep]\n        vand q1, q1, %q[keep]\n"
        "vand       q2, q2, %q[keep]\n        vand q8, q8, %q[keep]\n"
        ".endif\n"
        "vmull.u8   q10, d0, d0\n             vaddl.u8 q9, d0, d2\n"
        "vmull.u8   q11, d1, d1\n             vaddl.u8 q12, d1, d3\n"
        "vpadal.u16 %q[low], q10\n            vmull.u8 q10, d2, d2\n"
        "vpadal.u16 %q[high], q11\n           vmull.u8 q11, d3, d3\n"
        "vaddw.u8   q9, q9, d4\n              vaddw.u8 q12, q12, d5\n"
        "vpadal.u16 %q[low], q10\n            vmull.u8 q10, d4, d4\n"
        "vpadal.u16 %q[high], q11\n           vmull.u8 q11, d5, d5\n"
        "vaddw.u8   q9, q9, d16\n             vaddw.u8 q12, q12, d17\n"
        "vpadal.u16 %q[low], q10\n            vmull.u8 q10, d16, d16\n"
        "vpadal.u16 %q[high], q11\n           vmull.u8 q11, d17, d17\n"
        "vpaddl.u16 q9, q9\n                  vpaddl.u16 q12, q12\n"
        "vpadal.u16 %q[low], q10\n            vpadal.u16 %q[high], q11\n"
        "vadd.i32   d18, d18, d19\n           vadd.i32 d19, d24, d25\n"
        "vmul.i32   q9, q9, q9\n"
        "vsra.u32   %q[pressed], q9, #4\n" BIO_NEON_SCORE_LOOP_END
        : [p0] "+r"(p0), [p1] "+r"(p1), [p2] "+r"(p2), [p3] "+r"(p3), [groups] "+r"(groups),
          [low] "+w"(sums.squares_low), [high] "+w"(sums.squares_high), [pressed] "+w"(sums.pressed)
        : [keep] "w"(keep), [masked] "i"(Masked ? 1 : 0)
        : BIO_NEON_SCORE_CLOBBERS);
}

// bsize 4, step 2: two samples a row, two sampled rows a block, n = 4, eight blocks (64 bytes) a step. A
// 4 x 16-bit de-interleaving load of 32 bytes puts pixel 0 of four blocks in its first register and
// pixel 1 in its second; with the next four blocks' load, the samples parted from their colour bytes are
// P0 of blocks 0-3, P1 of blocks 0-3, P0 of 4-7, P1 of 4-7. 22 instructions a step. Bounds: a block sums
// to at most 1020 and its square to 1040400 (32 bits); each 32-bit lane takes at most 4 squares and two
// floor(sum^2 / 4) a step, for 14 steps a row.
constexpr std::uint8_t k2_lane_block[16] = {0, 1, 2, 3, 0, 1, 2, 3, 4, 5, 6, 7, 4, 5, 6, 7};

template <bool Masked>
void k2_groups(const unsigned char* p0, std::size_t sampled_row, unsigned groups, uint8x16_t keep,
               row_sums& sums) {
    const unsigned char* p1 = p0 + sampled_row;
    __asm__ volatile(
        "1:\n"
        "vld4.16    {d0-d3}, [%[p0]]!\n       vld4.16 {d24-d27}, [%[p0]]!\n"
        "vld4.16    {d2-d5}, [%[p1]]!\n       vld4.16 {d20-d23}, [%[p1]]!\n"
        "vuzp.8     q0, q12\n                 vuzp.8 q1, q10\n"
        ".if %c[masked]\n"
        "vand       q0, q0, %q[keep]\n        vand q1, q1, %q[keep]\n"
        ".endif\n"
        "vmull.u8   q10, d0, d0\n             vaddl.u8 q9, d0, d2\n"
        "vmull.u8   q11, d1, d1\n             vaddl.u8 q12, d1, d3\n"
        "vpadal.u16 %q[low], q10\n            vmull.u8 q10, d2, d2\n"
        "vpadal.u16 %q[high], q11\n           vmull.u8 q11, d3, d3\n"
        "vadd.i16   d18, d18, d19\n           vadd.i16 d19, d24, d25\n"
        "vpadal.u16 %q[low], q10\n            vmull.s16 q10, d18, d18\n"
        "vpadal.u16 %q[high], q11\n           vmull.s16 q11, d19, d19\n"
        "vsra.u32   %q[pressed], q10, #2\n    vsra.u32 %q[pressed], q11, #2\n" BIO_NEON_SCORE_LOOP_END
        : [p0] "+r"(p0), [p1] "+r"(p1), [groups] "+r"(groups), [low] "+w"(sums.squares_low),
          [high] "+w"(sums.squares_high), [pressed] "+w"(sums.pressed)
        : [keep] "w"(keep), [masked] "i"(Masked ? 1 : 0)
        : BIO_NEON_SCORE_CLOBBERS);
}
#undef BIO_NEON_SCORE_CLOBBERS
#undef BIO_NEON_SCORE_LOOP_END

// A row of `step_blocks`-block groups (64 bytes each): the whole groups in one loop, then the last
// group, read whole past the row's end (at most 24 pixels) and masked to the blocks that are there.
template <void (*Unmasked)(const unsigned char*, std::size_t, unsigned, uint8x16_t, row_sums&),
          void (*Masked)(const unsigned char*, std::size_t, unsigned, uint8x16_t, row_sums&)>
std::uint64_t grouped_row(const unsigned char* row, const score_geometry& g, unsigned blocks,
                          unsigned step_blocks, const std::uint8_t (&lane_block)[16]) {
    row_sums sums;
    const unsigned whole = blocks / step_blocks;
    if (whole > 0) {
        Unmasked(row, g.sampled_row_bytes, whole, vdupq_n_u8(0), sums);
    }
    if (blocks % step_blocks != 0) {
        Masked(row + 64 * whole, g.sampled_row_bytes, 1, lanes_below(lane_block, blocks % step_blocks), sums);
    }
    return sums.total();
}

// Same terms as score_row_reference(); see finger_kernels.h.
unsigned score_row_neon(const unsigned char* row, const score_geometry& g, unsigned blocks,
                        std::uint64_t& total) {
    if (g.block_size == 8 && g.row_step == 2) {
        total += grouped_row<adjacent_groups<false>, adjacent_groups<true>>(row, g, blocks, 4,
                                                                            adjacent_lane_block);
    } else if (g.block_size == 4 * g.row_step) {
        total += k4_row(row, g, blocks);
    } else if (g.block_size == 4 && g.row_step == 2) {
        total += grouped_row<k2_groups<false>, k2_groups<true>>(row, g, blocks, 8, k2_lane_block);
    } else {
        const std::size_t block_bytes = 2 * std::size_t{g.block_size};
        for (unsigned block = 0; block < blocks; ++block) {
            total += block_term(row + block * block_bytes, g);
        }
    }
    return blocks;
}

// ------------------------------------------------------------------ correction

// One group of eight pixels, the blend written once for every NEON row. The window's two halves load
// de-interleaved (samples in d0-d3 and d16-d19, colour bytes dropped) and the four corners' samples come
// out of them by index (vtbl). Each weight's thirds (correction_group) multiply the 8-bit samples into
// three 16-bit sums over the four corners, L, M and H: L and M exact (the walk checked their bounds), H
// modulo 2^16. The reference's sum is H * 2^12 + M * 2^6 + L, and its bits 20..27, the output, are bits
// 8..15 of H + floor((M + floor(L / 2^6)) / 2^6) modulo 2^16: two shift-and-adds and one narrowing
// shift. 28 instructions, one more to load the step to the next group's window, and one each for the
// inversion and the turn.
//
// Registers: `group`, `window` and `out` name those pointers' (r1, r2 and r3 in a row of groups, where r5
// is the last part load's step to the next group, r6 the step to the next window and lr the output
// step), r12 the frame row less 32; d0-d7 and d16-d31, never the callee-saved d8-d15 (the compiler would
// save and restore them for every row).
// clang-format off
#define BIO_NEON_CORRECTION_EIGHT(group, window, next_window, next_group, out, next_out, turn) \
    "vld1.8     {d6, d7}, [" group "]!\n"                                                 \
    "vld2.8     {d0-d3}, [" window "]!\n vld2.8 {d2-d5}, [" window "], r12\n"             \
    "vld2.8     {d16-d19}, [" window "]!\n vld2.8 {d18-d21}, [" window "]" next_window "\n" \
    "vtbl.8     d22, {d0-d3}, d6\n           vtbl.8 d23, {d0-d3}, d7\n"                   \
    "vtbl.8     d24, {d16-d19}, d6\n         vtbl.8 d25, {d16-d19}, d7\n"                 \
    "vld1.8     {d16-d19}, [" group "]!\n"                                                \
    "vld1.8     {d4-d7}, [" group "]!\n"                                                  \
    "vld1.8     {d0-d3}, [" group "]" next_group "\n"                                     \
    "vmull.u8   q10, d22, d16\n              vmull.u8 q13, d22, d4\n"                     \
    "vmull.u8   q14, d22, d0\n               vmlal.u8 q10, d23, d17\n"                    \
    "vmlal.u8   q13, d23, d5\n               vmlal.u8 q14, d23, d1\n"                     \
    "vmlal.u8   q10, d24, d18\n              vmlal.u8 q13, d24, d6\n"                     \
    "vmlal.u8   q14, d24, d2\n               vmlal.u8 q10, d25, d19\n"                    \
    "vmlal.u8   q13, d25, d7\n               vmlal.u8 q14, d25, d3\n"                     \
    "vsra.u16   q13, q10, #6\n"                                                           \
    "vsra.u16   q14, q13, #6\n"                                                           \
    "vshrn.i16  d24, q14, #8\n"                                                           \
    ".if %c[invert]\n vmvn d24, d24\n .endif\n"                                           \
    turn                                                                                  \
    "vst1.8     {d24}, [" out "]" next_out "\n"
// clang-format on

// Turned, the group's bytes are reversed: as the template says, or (in wide rows) when the output step,
// lr, is negative.
#define BIO_NEON_TURN ".if %c[turn]\n vrev64.8 d24, d24\n .endif\n"
#define BIO_NEON_TURN_IF_STEP_NEGATIVE "cmp lr, #0\n bgt 6f\n vrev64.8 d24, d24\n 6:\n"
// A group followed by another: the next window's step from the group, the pointers moved on.
#define BIO_NEON_CORRECTION_GROUP                                                                     \
    "ldr        r6, [r1, #112]\n" BIO_NEON_CORRECTION_EIGHT("r1", "r2", ", r6", ", r5", "r3", ", lr", \
                                                            BIO_NEON_TURN)
// A row's last group, nothing moved on after it.
#define BIO_NEON_CORRECTION_LAST_GROUP(group, window, out, turn) \
    BIO_NEON_CORRECTION_EIGHT(group, window, "", "", out, "", turn)

#define BIO_NEON_CORRECTION_FOUR \
    BIO_NEON_CORRECTION_GROUP BIO_NEON_CORRECTION_GROUP BIO_NEON_CORRECTION_GROUP BIO_NEON_CORRECTION_GROUP

// A row's groups: `middle` of them, one, two and four first as the count's low bits say, then eight at a
// time in a loop (a row of 260 pixels has 32 and the last one: four steps of the loop), each stored eight
// bytes after the one before (before it, turned), then the last one at `last_out`. The operands sit in the
// registers the group's code names, so that nothing goes through memory on the way in.
template <bool Turn, bool Invert>
void correct_groups(const correction_group* groups, const unsigned char* window, unsigned char* out,
                    std::size_t middle, unsigned char* last_out) {
    register const correction_group* group_register asm("r1") = groups;
    register const unsigned char* window_register asm("r2") = window;
    register unsigned char* out_register asm("r3") = out;
    register std::size_t middle_register asm("r4") = middle;
    register unsigned char* last_register asm("r0") = last_out;
    __asm__ volatile(
        ".if %c[turn]\n mvn lr, #7\n .else\n mov lr, #8\n .endif\n"
        "movs       r5, #40\n"
        "movw       r12, #1248\n"
        "lsrs       r4, r4, #1\n"
        "bcc        3f\n" BIO_NEON_CORRECTION_GROUP
        "3:\n"
        "lsrs       r4, r4, #1\n"
        "bcc        4f\n" BIO_NEON_CORRECTION_GROUP BIO_NEON_CORRECTION_GROUP
        "4:\n"
        "lsrs       r4, r4, #1\n"
        "bcc        5f\n" BIO_NEON_CORRECTION_FOUR
        "5:\n"
        "beq        2f\n"
        "1:\n" BIO_NEON_CORRECTION_FOUR BIO_NEON_CORRECTION_FOUR
        "subs       r4, r4, #1\n"
        "bne        1b\n"
        "2:\n" BIO_NEON_CORRECTION_LAST_GROUP("r1", "r2", "r0", BIO_NEON_TURN)
        : "+r"(group_register), "+r"(window_register), "+r"(out_register), "+r"(middle_register)
        : "r"(last_register), [turn] "i"(Turn ? 1 : 0), [invert] "i"(Invert ? 1 : 0)
        : "cc", "memory", "r5", "r6", "r12", "lr", "d0", "d1", "d2", "d3", "d4", "d5", "d6", "d7", "d16",
          "d17", "d18", "d19", "d20", "d21", "d22", "d23", "d24", "d25", "d26", "d27", "d28", "d29", "d30",
          "d31");
}

// Sixteen pixels of a wide group (correction_wide_group), the blend written once for the wide rows: the
// window's three 32-byte loads a frame row put its samples 0-47 in d0-d5 (top) and d16-d21 (bottom); lanes
// 0-7 look up the first 32, lanes 8-15 the last 32. The thirds multiply as for eight pixels, lanes 0-7 into
// q8 (L), q10 (M), q1 (H) and lanes 8-15 into q9, q0, q2. With `reverse`, the lanes are stored in
// reverse order. 52 instructions, and one each for the reversal and the inversion.
//
// Registers: r1 the group, r2 the window, r3 out, r6 the step from the last load to the next window,
// r12 from the top half's last load to the bottom half, lr the output step; d0-d7 and d16-d31.
#define BIO_NEON_CORRECTION_WIDE_GROUP                                                         \
    "vld1.8     {d24-d27}, [r1]!\n"                                                            \
    "vld2.8     {d0-d3}, [r2]!\n     vld2.8 {d2-d5}, [r2]!\n     vld2.8 {d4-d7}, [r2], r12\n"  \
    "vld2.8     {d16-d19}, [r2]!\n   vld2.8 {d18-d21}, [r2]!\n   vld2.8 {d20-d23}, [r2], r6\n" \
    "vtbl.8     d28, {d0-d3}, d24\n     vtbl.8 d29, {d2-d5}, d25\n"                            \
    "vtbl.8     d30, {d0-d3}, d26\n     vtbl.8 d31, {d2-d5}, d27\n"                            \
    "vtbl.8     d6, {d16-d19}, d24\n    vtbl.8 d7, {d18-d21}, d25\n"                           \
    "vtbl.8     d22, {d16-d19}, d26\n   vtbl.8 d23, {d18-d21}, d27\n"                          \
    "vld1.8     {d24-d27}, [r1]!\n"                                                            \
    "vmull.u8   q8, d28, d24\n       vmull.u8 q9, d29, d25\n"                                  \
    "vmlal.u8   q8, d30, d26\n       vmlal.u8 q9, d31, d27\n"                                  \
    "vld1.8     {d24-d27}, [r1]!\n"                                                            \
    "vmlal.u8   q8, d6, d24\n        vmlal.u8 q9, d7, d25\n"                                   \
    "vmlal.u8   q8, d22, d26\n       vmlal.u8 q9, d23, d27\n"                                  \
    "vld1.8     {d24-d27}, [r1]!\n"                                                            \
    "vmull.u8   q10, d28, d24\n      vmull.u8 q0, d29, d25\n"                                  \
    "vmlal.u8   q10, d30, d26\n      vmlal.u8 q0, d31, d27\n"                                  \
    "vld1.8     {d24-d27}, [r1]!\n"                                                            \
    "vmlal.u8   q10, d6, d24\n       vmlal.u8 q0, d7, d25\n"                                   \
    "vmlal.u8   q10, d22, d26\n      vmlal.u8 q0, d23, d27\n"                                  \
    "vld1.8     {d24-d27}, [r1]!\n"                                                            \
    "vmull.u8   q1, d28, d24\n       vmull.u8 q2, d29, d25\n"                                  \
    "vmlal.u8   q1, d30, d26\n       vmlal.u8 q2, d31, d27\n"                                  \
    "vld1.8     {d24-d27}, [r1]!\n"                                                            \
    "vmlal.u8   q1, d6, d24\n        vmlal.u8 q2, d7, d25\n"                                   \
    "vmlal.u8   q1, d22, d26\n       vmlal.u8 q2, d23, d27\n"                                  \
    "vsra.u16   q10, q8, #6\n        vsra.u16 q0, q9, #6\n"                                    \
    "vsra.u16   q1, q10, #6\n        vsra.u16 q2, q0, #6\n"                                    \
    ".if %c[reverse]\n vshrn.i16 d17, q1, #8\n vshrn.i16 d16, q2, #8\n vrev64.8 q8, q8\n"      \
    ".else\n vshrn.i16 d16, q1, #8\n vshrn.i16 d17, q2, #8\n .endif\n"                         \
    ".if %c[invert]\n vmvn q8, q8\n .endif\n"                                                  \
    "vst1.8     {d16, d17}, [r3], lr\n"

#define BIO_NEON_CORRECTION_WIDE_FOUR                                                            \
    BIO_NEON_CORRECTION_WIDE_GROUP BIO_NEON_CORRECTION_WIDE_GROUP BIO_NEON_CORRECTION_WIDE_GROUP \
        BIO_NEON_CORRECTION_WIDE_GROUP

// A wide row (correction_wide_row, whose fields the first load takes): its wide groups, windows a fixed
// step apart, each stored `step` bytes after the one before (16, or -16 when turned) from `out` on; the
// sixteen groups of a row of 256 to 264 pixels (an image's 260) in one run, other counts in a loop.
// Then its group of eight, if any, at `tail_out`.
template <bool Reverse, bool Invert>
__attribute__((always_inline)) inline void correct_wide_row(const correction_wide_row* wide,
                                                            const unsigned char* frame, unsigned char* out,
                                                            std::ptrdiff_t step, unsigned char* tail_out) {
    register const correction_wide_row* wide_register asm("r1") = wide;
    register std::ptrdiff_t step_register asm("lr") = step;
    register const unsigned char* frame_register asm("r12") = frame;
    register unsigned char* out_register asm("r3") = out;
    register unsigned char* tail_out_register asm("r0") = tail_out;
    __asm__ volatile(
        "ldm        r1, {r1, r2, r4, r5, r6, r8}\n"
        "add        r2, r2, r12\n"
        "add        r8, r8, r12\n"
        "movw       r12, #1216\n"
        "cmp        r4, #16\n"
        "bne        1f\n" BIO_NEON_CORRECTION_WIDE_FOUR BIO_NEON_CORRECTION_WIDE_FOUR
            BIO_NEON_CORRECTION_WIDE_FOUR BIO_NEON_CORRECTION_WIDE_FOUR
        "b          2f\n"
        "1:\n" BIO_NEON_CORRECTION_WIDE_GROUP
        "subs       r4, r4, #1\n"
        "bne        1b\n"
        "2:\n"
        "cmp        r5, #0\n"
        "beq        4f\n"
        "movw       r12, #1248\n" BIO_NEON_CORRECTION_LAST_GROUP("r5", "r8", "r0",
                                                                 BIO_NEON_TURN_IF_STEP_NEGATIVE) "4:\n"
        : "+r"(wide_register), "+r"(step_register), "+r"(frame_register), "+r"(out_register)
        : "r"(tail_out_register), [reverse] "i"(Reverse ? 1 : 0), [invert] "i"(Invert ? 1 : 0)
        : "cc", "memory", "r2", "r4", "r5", "r6", "r8", "d0", "d1", "d2", "d3", "d4", "d5", "d6", "d7", "d16",
          "d17", "d18", "d19", "d20", "d21", "d22", "d23", "d24", "d25", "d26", "d27", "d28", "d29", "d30",
          "d31");
}
#undef BIO_NEON_CORRECTION_WIDE_FOUR
#undef BIO_NEON_CORRECTION_WIDE_GROUP
#undef BIO_NEON_TURN_IF_STEP_NEGATIVE
#undef BIO_NEON_TURN
#undef BIO_NEON_CORRECTION_FOUR
#undef BIO_NEON_CORRECTION_LAST_GROUP
#undef BIO_NEON_CORRECTION_GROUP
#undef BIO_NEON_CORRECTION_EIGHT

// A whole row with groups: its wide groups and the group of its last 8 columns, or its groups at columns
// 0, 8, ... and the last at columns - 8. Rows without groups are left to the reference row.
std::size_t correct_row_neon(const correction_job& job, std::size_t index) {
    const unsigned char* const frame = job.frame;
    const correction_plan& plan = *job.plan;
    const correction_row row = job_row(job, index);
    const std::ptrdiff_t last = static_cast<std::ptrdiff_t>(row.count) - 8;
    // The walk's wide_rows are never null on this machine.
    if (plan.walk != nullptr && plan.walk->wide_rows[row.index].count != 0) {
        const correction_wide_row* wide = plan.walk->wide_rows + row.index;
        const bool turn = row.direction < 0;
        unsigned char* const out = turn ? row.out - 15 : row.out;
        unsigned char* const tail_out = turn ? row.out - last - 7 : row.out + last;
        const std::ptrdiff_t step = turn ? -16 : 16;
        // Lanes stored reversed when the row is laid out descending or turned, not both.
        switch (((wide->descending ^ static_cast<std::uint32_t>(turn)) << 1) | (row.mask & 1u)) {
            case 0:
                correct_wide_row<false, false>(wide, frame, out, step, tail_out);
                break;
            case 1:
                correct_wide_row<false, true>(wide, frame, out, step, tail_out);
                break;
            case 2:
                correct_wide_row<true, false>(wide, frame, out, step, tail_out);
                break;
            default:
                correct_wide_row<true, true>(wide, frame, out, step, tail_out);
                break;
        }
        return row.count;
    }
    std::uint32_t groups = 0;
    const correction_group* g = walk_groups(plan, row, groups);
    if (groups == 0) {
        return 0;
    }
    const unsigned char* window = frame + g->window;
    if (row.direction < 0) {
        row.mask != 0 ? correct_groups<true, true>(g, window, row.out - 7, groups - 1, row.out - last - 7)
                      : correct_groups<true, false>(g, window, row.out - 7, groups - 1, row.out - last - 7);
    } else {
        row.mask != 0 ? correct_groups<false, true>(g, window, row.out, groups - 1, row.out + last)
                      : correct_groups<false, false>(g, window, row.out, groups - 1, row.out + last);
    }
    return row.count;
}

}  // namespace

const kernel_variant* neon_variant() {
    static const kernel_variant variant = {"neon", score_row_neon, correct_row_neon};
    return &variant;
}

#else

const kernel_variant* neon_variant() {
    return nullptr;
}

#endif
