// Reassembly of debug-stream datagrams into frames, without sockets: whole frames of each
// kind, header-only frames, frames cut short by loss, and datagrams outside any frame.
#include "reassembler.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using bio_stream::CutShort;
using bio_stream::Frame;
using bio_stream::Reassembler;

// One step of a test: a header datagram with a score, a payload datagram of some size, or
// the end of reception.
struct Step {
    enum Type { header, payload, finish } type;
    std::int64_t value;  // the score, or the payload size
};

Step hdr(std::int32_t score) {
    return {Step::header, score};
}
Step pay(std::size_t size) {
    return {Step::payload, static_cast<std::int64_t>(size)};
}
Step end() {
    return {Step::finish, 0};
}

std::vector<unsigned char> header_datagram(std::int32_t score) {
    const auto value = static_cast<std::uint32_t>(score);
    return {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
            static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
}

// Feeds the steps and tells what came out, one line per event.
struct Outcome {
    std::vector<std::string> events;
    std::vector<Frame> frames;
    std::uint64_t frames_count = 0;
    std::uint64_t cut_short = 0;
    std::uint64_t stray = 0;
    std::uint64_t bytes = 0;
};

Outcome run(const std::vector<Step>& steps) {
    Outcome result;
    Reassembler reassembler(
        [&](const Frame& frame) {
            result.events.push_back("frame " + std::to_string(frame.number) + " score " +
                                    std::to_string(frame.score) + " " + bio_stream::kind_name(frame.kind) +
                                    " " + std::to_string(frame.bytes.size()));
            result.frames.push_back(frame);
        },
        [&](const CutShort& cut) {
            result.events.push_back("cut " + std::to_string(cut.number) + " score " +
                                    std::to_string(cut.score) + " after " + std::to_string(cut.bytes));
        });
    std::size_t sent = 0;
    for (const Step& step : steps) {
        if (step.type == Step::header) {
            const std::vector<unsigned char> datagram =
                header_datagram(static_cast<std::int32_t>(step.value));
            reassembler.feed(datagram.data(), datagram.size());
        } else if (step.type == Step::payload) {
            std::vector<unsigned char> datagram(static_cast<std::size_t>(step.value));
            for (unsigned char& byte : datagram) {
                byte = static_cast<unsigned char>(sent++ * 7 % 251);
            }
            reassembler.feed(datagram.data(), datagram.size());
        } else {
            reassembler.finish();
        }
    }
    result.frames_count = reassembler.frames();
    result.cut_short = reassembler.cut_short();
    result.stray = reassembler.stray_datagrams();
    result.bytes = reassembler.bytes();
    return result;
}

struct SequenceCase {
    const char* name;
    std::vector<Step> steps;
    std::vector<std::string> events;
    std::uint64_t stray;
};

void PrintTo(const SequenceCase& c, std::ostream* out) {
    *out << c.name;
}

class SequenceTest : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(SequenceTest, EventsAndCounts) {
    const SequenceCase& c = GetParam();
    const Outcome result = run(c.steps);
    EXPECT_EQ(result.events, c.events);
    std::uint64_t whole = 0;
    std::uint64_t cut = 0;
    for (const std::string& event : c.events) {
        (event.rfind("frame", 0) == 0 ? whole : cut) += 1;
    }
    EXPECT_EQ(result.frames_count, whole);
    EXPECT_EQ(result.cut_short, cut);
    EXPECT_EQ(result.stray, c.stray);
}

const std::vector<Step> raw_frame_steps(std::int32_t score) {
    std::vector<Step> steps = {hdr(score)};
    for (int i = 0; i < 10; ++i) {
        steps.push_back(pay(60000));
    }
    steps.push_back(pay(14400));
    return steps;
}

INSTANTIATE_TEST_SUITE_P(
    Streams, SequenceTest,
    ::testing::Values(
        SequenceCase{"raw", raw_frame_steps(300), {"frame 1 score 300 raw 614400"}, 0},
        SequenceCase{
            "grey_350", {hdr(-1), pay(60000), pay(31000)}, {"frame 1 score -1 grey-260x350 91000"}, 0},
        SequenceCase{"grey_320", {hdr(7), pay(60000), pay(23200)}, {"frame 1 score 7 grey-260x320 83200"}, 0},
        // A header followed directly by a header: the first frame had no payload.
        SequenceCase{"header_only",
                     {hdr(1), hdr(2), hdr(3), end()},
                     {"frame 1 score 1 header 0", "frame 2 score 2 header 0", "frame 3 score 3 header 0"},
                     0},
        SequenceCase{"header_only_is_pending_until_the_next_header", {hdr(1)}, {}, 0},
        SequenceCase{"raw_cut_short_by_the_next_header",
                     {hdr(5), pay(60000), pay(60000), hdr(6), pay(60000), pay(31000)},
                     {"cut 1 score 5 after 120000", "frame 2 score 6 grey-260x350 91000"},
                     0},
        SequenceCase{"grey_missing_its_first_slice",
                     {hdr(2), pay(31000), hdr(3), pay(60000), pay(23200)},
                     {"cut 1 score 2 after 31000", "frame 2 score 3 grey-260x320 83200"},
                     0},
        SequenceCase{
            "partial_frame_at_the_end", {hdr(3), pay(60000), end()}, {"cut 1 score 3 after 60000"}, 0},
        SequenceCase{"unknown_length_60001",
                     {hdr(4), pay(60000), pay(1), hdr(5), end()},
                     {"cut 1 score 4 after 60001", "frame 2 score 5 header 0"},
                     0},
        SequenceCase{"longer_than_a_raw_frame",
                     {hdr(1), pay(60000), pay(60000), pay(60000), pay(60000), pay(60000), pay(60000),
                      pay(60000), pay(60000), pay(60000), pay(60000), pay(60000), end()},
                     {"cut 1 score 1 after 660000"},
                     0},
        SequenceCase{"started_in_the_middle_of_a_frame",
                     {pay(60000), pay(14400), hdr(9), pay(60000), pay(23200)},
                     {"frame 1 score 9 grey-260x320 83200"},
                     2},
        SequenceCase{"payload_after_a_whole_frame",
                     {hdr(1), pay(60000), pay(23200), pay(1000), end()},
                     {"frame 1 score 1 grey-260x320 83200"},
                     1},
        SequenceCase{"finish_twice_is_harmless", {hdr(8), end(), end()}, {"frame 1 score 8 header 0"}, 0}),
    [](const ::testing::TestParamInfo<SequenceCase>& param_info) { return param_info.param.name; });

TEST(ReassemblerTest, PayloadIsKeptInOrderAndEveryByteCounted) {
    const Outcome result = run(raw_frame_steps(300));
    ASSERT_EQ(result.frames.size(), 1u);
    const std::vector<unsigned char>& bytes = result.frames[0].bytes;
    ASSERT_EQ(bytes.size(), 614400u);
    // The n-th payload byte fed was n * 7 mod 251.
    for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{59999}, std::size_t{60000},
                          std::size_t{600000}, std::size_t{614399}}) {
        EXPECT_EQ(bytes[n], n * 7 % 251) << "byte " << n;
    }
    EXPECT_EQ(result.bytes, 614404u);
}

TEST(ReassemblerTest, HeaderIsReadLeastSignificantByteFirst) {
    const unsigned char datagrams[][4] = {
        {0x2C, 0x01, 0x00, 0x00}, {0xFE, 0xFF, 0xFF, 0xFF}, {0, 0, 0, 0x80}};
    std::vector<std::int32_t> scores;
    Reassembler reassembler([&](const Frame& frame) { scores.push_back(frame.score); },
                            [](const CutShort&) {});
    for (const auto& datagram : datagrams) {
        reassembler.feed(datagram, 4);
    }
    reassembler.finish();
    EXPECT_THAT(scores, ::testing::ElementsAre(300, -2, INT32_MIN));
}

TEST(ReassemblerTest, KindsFollowFromTheLength) {
    EXPECT_EQ(bio_stream::kind_of_length(0), bio_stream::Kind::header);
    EXPECT_EQ(bio_stream::kind_of_length(614400), bio_stream::Kind::raw);
    EXPECT_EQ(bio_stream::kind_of_length(91000), bio_stream::Kind::grey_260x350);
    EXPECT_EQ(bio_stream::kind_of_length(83200), bio_stream::Kind::grey_260x320);
    EXPECT_EQ(bio_stream::kind_of_length(60000), std::nullopt);
    EXPECT_EQ(bio_stream::kind_of_length(614401), std::nullopt);
}

}  // namespace
