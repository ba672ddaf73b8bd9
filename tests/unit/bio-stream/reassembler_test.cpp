// Reassembly of debug-stream datagrams into frames, as a table: the kinds a payload length
// tells, header-only frames, frames cut short by loss, and stray datagrams outside any frame.
#include "reassembler.h"

#include <cstdint>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using bio_stream::Reassembler;

// Feeds `steps` ("h<score>": a header datagram; "p<size>[*<count>]": payload datagrams; "d<n>": n
// datagrams dropped before the next one; "@<ms>": the next ones arrive then; "end": finish) and tells
// what came out: one entry per whole, cut-short or payload-lost frame (with "+N" frames missing
// before it), then the counts. (The
// bytes of a whole frame are checked through bio-stream's recording.)
std::string reassembled(const std::string& steps) {
    std::ostringstream out;
    Reassembler reassembler(
        [&](const bio_stream::Frame& f) {
            out << (f.missing_before ? "+" + std::to_string(f.missing_before) + " " : "") << "frame " << f.number
                << " score " << f.score << " " << bio_stream::kind_name(f.kind) << " " << f.bytes.size() << "; ";
        },
        [&](const bio_stream::CutShort& c) {
            out << (c.missing_before ? "+" + std::to_string(c.missing_before) + " " : "")
                << (c.state == bio_stream::State::cut_short ? "cut " : "lost ") << c.number << " score " << c.score
                << " after " << c.bytes << "; ";
        });
    std::istringstream in(steps);
    bio_stream::Arrival arrival;
    std::uint64_t missing_at_end = 0;
    for (std::string step; in >> step;) {
        if (step[0] == 'd' || step[0] == '@') {
            const auto value = std::stoull(step.substr(1));
            (step[0] == 'd' ? arrival.dropped_before = value : arrival.seconds = static_cast<double>(value) / 1000);
            continue;
        }
        const auto value = step == "end" ? 0 : std::stoll(step.substr(1));
        const auto score = static_cast<std::uint32_t>(value);
        std::vector<unsigned char> datagram(step[0] == 'p' ? static_cast<std::size_t>(value) : 0);
        if (step[0] == 'h') {
            datagram = {static_cast<unsigned char>(score), static_cast<unsigned char>(score >> 8),
                        static_cast<unsigned char>(score >> 16), static_cast<unsigned char>(score >> 24)};
        }
        const auto star = step.find('*');
        for (int i = star == std::string::npos ? 1 : std::stoi(step.substr(star + 1)); i > 0; --i) {
            if (step == "end") {
                missing_at_end = reassembler.finish(arrival.dropped_before);
            } else {
                reassembler.feed(datagram.data(), datagram.size(), arrival);
            }
            arrival.dropped_before = 0;
        }
    }
    out << reassembler.frames() << " whole, " << reassembler.cut_short() << " cut short, "
        << reassembler.stray_datagrams() << " stray";
    if (reassembler.payload_lost() + reassembler.missing() != 0) {
        out << ", " << reassembler.payload_lost() << " payload lost, " << reassembler.missing() << " missing ("
            << missing_at_end << " at the end)";
    }
    return out.str();
}

struct Row {
    const char* name;
    const char* steps;
    const char* expected;
};

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

class BioStreamReassembly : public testing::TestWithParam<Row> {};

TEST_P(BioStreamReassembly, FramesCutShortAndStray) {
    EXPECT_EQ(reassembled(GetParam().steps), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, BioStreamReassembly,
    testing::Values(
        Row{"Raw", "h300 p60000*10 p14400", "frame 1 score 300 raw 614400; 1 whole, 0 cut short, 0 stray"},
        Row{"Grey350", "h-1 p60000 p31000",
            "frame 1 score -1 grey-260x350 91000; 1 whole, 0 cut short, 0 stray"},
        Row{"Grey320", "h7 p60000 p23200",
            "frame 1 score 7 grey-260x320 83200; 1 whole, 0 cut short, 0 stray"},
        // A header right after a header: the first frame had no payload (an unknown sensor's).
        Row{"HeaderOnly", "h1 h2 end",
            "frame 1 score 1 header 0; frame 2 score 2 header 0; 2 whole, 0 cut short, 0 stray"},
        Row{"CutShortByTheNextHeader", "h5 p60000*2 h6 p60000 p31000",
            "cut 1 score 5 after 120000; frame 2 score 6 grey-260x350 91000; 1 whole, 1 cut short, 0 stray"},
        Row{"CutShortAtTheEnd", "h3 p60000 end", "cut 1 score 3 after 60000; 0 whole, 1 cut short, 0 stray"},
        Row{"LongerThanARawFrame", "h1 p60000*11 end",
            "cut 1 score 1 after 660000; 0 whole, 1 cut short, 0 stray"},
        Row{"StartedInsideAFrame", "p60000 p14400 h9 p60000 p23200",
            "frame 1 score 9 grey-260x320 83200; 1 whole, 0 cut short, 2 stray"},
        // Dropped datagrams: 3 grey frames' worth after frame 1 whole, then the 60000-byte slice of the next
        // frame after frame 5's first and that frame's header: frame 5 is never whole, however its bytes add
        // up, and 1 frame is missing after it.
        Row{"DroppedWholeFramesThenASlice", "h1 p60000 p31000 d9 h5 p60000 d2 p31000 h7 p60000 p31000",
            "frame 1 score 1 grey-260x350 91000; +3 cut 5 score 5 after 91000; +1 frame 7 score 7 grey-260x350 "
            "91000; 2 whole, 1 cut short, 0 stray, 0 payload lost, 4 missing (0 at the end)"},
        // A header alone in a stream of pictures lost its payload; its score is kept.
        Row{"PayloadLost", "h1 p60000 p31000 h2 d2 h3 p60000 p31000",
            "frame 1 score 1 grey-260x350 91000; lost 2 score 2 after 0; frame 3 score 3 grey-260x350 91000; 2 "
            "whole, 0 cut short, 0 stray, 1 payload lost, 0 missing (0 at the end)"},
        // Frames every 33 ms: 100 ms without a header after a frame cut short on the way is two frames
        // missing; the same pause alone is the sender's, and a burst has no rate.
        Row{"MissingByTime", "@0 h1 p60000 p31000 @33 h2 p60000 p31000 @66 h3 p60000 @166 h4 p60000 p31000",
            "frame 1 score 1 grey-260x350 91000; frame 2 score 2 grey-260x350 91000; cut 3 score 3 after 60000; "
            "+2 frame 6 score 4 grey-260x350 91000; 3 whole, 1 cut short, 0 stray, 0 payload lost, 2 missing (0 at "
            "the end)"},
        Row{"APauseIsNoLoss", "@0 h1 @33 h2 @66 h3 @166 h4 end",
            "frame 1 score 1 header 0; frame 2 score 2 header 0; frame 3 score 3 header 0; frame 4 score 4 header "
            "0; 4 whole, 0 cut short, 0 stray"},
        Row{"BurstHasNoRate", "@0 h1 p60000 @1 h2 p60000 @2 h3 p60000 @9 h4 end",
            "cut 1 score 1 after 60000; cut 2 score 2 after 60000; cut 3 score 3 after 60000; frame 4 score 4 "
            "header 0; 1 whole, 3 cut short, 0 stray"},
        Row{"DroppedAtTheEnd", "h1 p60000*10 p14400 h2 p60000 d34 end",
            "frame 1 score 1 raw 614400; cut 2 score 2 after 60000; 1 whole, 1 cut short, 0 stray, 0 payload lost, "
            "2 missing (2 at the end)"}),
    [](const testing::TestParamInfo<Row>& row) { return std::string(row.param.name); });

}  // namespace
