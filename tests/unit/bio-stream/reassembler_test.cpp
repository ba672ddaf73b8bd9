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

// Feeds `steps` ("h<score>": a header datagram; "p<size>[*<count>]": payload datagrams; "end":
// finish) and tells what came out: one entry per whole or cut-short frame, then the counts. (The
// bytes of a whole frame are checked through bio-stream's recording.)
std::string reassembled(const std::string& steps) {
    std::ostringstream out;
    Reassembler reassembler(
        [&](const bio_stream::Frame& f) {
            out << "frame " << f.number << " score " << f.score << " " << bio_stream::kind_name(f.kind) << " "
                << f.bytes.size() << "; ";
        },
        [&](const bio_stream::CutShort& c) {
            out << "cut " << c.number << " score " << c.score << " after " << c.bytes << "; ";
        });
    std::istringstream in(steps);
    for (std::string step; in >> step;) {
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
                reassembler.finish();
            } else {
                reassembler.feed(datagram.data(), datagram.size());
            }
        }
    }
    out << reassembler.frames() << " whole, " << reassembler.cut_short() << " cut short, "
        << reassembler.stray_datagrams() << " stray";
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
            "frame 1 score 9 grey-260x320 83200; 1 whole, 0 cut short, 2 stray"}),
    [](const testing::TestParamInfo<Row>& row) { return std::string(row.param.name); });

}  // namespace
