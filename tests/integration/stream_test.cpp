// End-to-end tests of the module's side outputs through bio-host: the UDP debug stream on
// loopback (raw datagrams, and bio-stream's pictures and scores) and the finger image file.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

namespace bio_it {
namespace {

// A UDP socket bound to 127.0.0.1 on a free port.
class UdpReceiver {
public:
    UdpReceiver() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        int size = 8 << 20;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~UdpReceiver() { ::close(fd_); }
    UdpReceiver(const UdpReceiver&) = delete;
    UdpReceiver& operator=(const UdpReceiver&) = delete;

    int port() const noexcept { return port_; }

    // The next datagram, or nullopt when none comes within `timeout`.
    std::optional<std::vector<unsigned char>> receive(std::chrono::milliseconds timeout) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) {
            return std::nullopt;
        }
        std::vector<unsigned char> data(65536);
        const ssize_t got = ::recv(fd_, data.data(), data.size(), 0);
        if (got < 0) {
            return std::nullopt;
        }
        data.resize(static_cast<std::size_t>(got));
        return data;
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

struct StreamCase {
    const char* name;
    const char* model;
    int raw;
    std::vector<std::size_t> slices;  // datagram lengths after the 4-byte header
    std::vector<std::string> sets;
};

// Test names carry this, so it must be the same in every run.
void PrintTo(const StreamCase& c, std::ostream* out) {
    *out << c.name;
}

class DebugStream : public testing::TestWithParam<StreamCase> {};

TEST_P(DebugStream, EveryFrameIsAHeaderAndItsSlices) {
    const StreamCase& c = GetParam();
    UdpReceiver receiver;
    TempDir dir;
    HostOptions options;
    options.scenario = std::string("model ") + c.model + "\nglass\n";
    options.sets = {"net_debug_ip=127.0.0.1", "net_debug_port=" + std::to_string(receiver.port()),
                    "net_debug_raw=" + std::to_string(c.raw)};
    options.sets.insert(options.sets.end(), c.sets.begin(), c.sets.end());
    auto host = start_host(dir, options);
    ASSERT_TRUE(expect_line(*host, is_kind("started"), "started line", 0, start_wait));

    // Skip to the first header (the receiver may have started inside a frame), then read
    // three whole frames.
    std::optional<std::vector<unsigned char>> datagram;
    do {
        datagram = receiver.receive(event_wait);
        ASSERT_TRUE(datagram) << "no datagram\n" << dump(*host);
    } while (datagram->size() != 4);
    for (int frame = 0; frame < 3; ++frame) {
        SCOPED_TRACE("frame " + std::to_string(frame));
        ASSERT_EQ(datagram->size(), 4u);
        // Empty glass scores low: a little-endian int below the finger threshold.
        const int score = (*datagram)[0] | (*datagram)[1] << 8 | (*datagram)[2] << 16 | (*datagram)[3] << 24;
        EXPECT_GE(score, 0);
        EXPECT_LT(score, 300);
        for (std::size_t slice : c.slices) {
            datagram = receiver.receive(event_wait);
            ASSERT_TRUE(datagram);
            EXPECT_EQ(datagram->size(), slice);
        }
        datagram = receiver.receive(event_wait);
        ASSERT_TRUE(datagram);
    }
    host->write_line("quit");
    EXPECT_EQ(host->wait_exit(event_wait), std::optional<int>(0));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, DebugStream,
    testing::Values(StreamCase{"GreyGC032A", "GC032A", 0, {60000, 31000}, {}},
                    StreamCase{"GreyGC0328", "GC0328", 0, {60000, 23200}, {}},
                    StreamCase{"RawGC032A",
                               "GC032A",
                               1,
                               {60000, 60000, 60000, 60000, 60000, 60000, 60000, 60000, 60000, 60000, 14400},
                               {}},
                    StreamCase{
                        "GreyUnknownModelIsHeaderOnly", "XYZ", 0, {}, {"last_fp_reader=XYZ", "var_min=300"}}),
    [](const testing::TestParamInfo<StreamCase>& param_info) { return std::string(param_info.param.name); });

struct CsvRow {
    int frame;
    int score;
    std::string kind;
    int bytes;
};

std::vector<CsvRow> read_csv(const std::string& path) {
    std::vector<CsvRow> rows;
    std::istringstream in(read_file(path));
    std::string line;
    std::getline(in, line);  // header row
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        CsvRow row;
        std::string cell;
        std::getline(fields, cell, ',');
        row.frame = std::stoi(cell);
        std::getline(fields, cell, ',');
        row.score = std::stoi(cell);
        std::getline(fields, row.kind, ',');
        std::getline(fields, cell, ',');
        row.bytes = std::stoi(cell);
        rows.push_back(row);
    }
    return rows;
}

TEST(StreamAndImageFile, BioStreamShowsEveryFrameAndTheFingerFileEqualsThePublishedImage) {
    TempDir dir;
    int port = 0;
    auto stream = start_stream({"--out", dir.file("frames"), "--csv", dir.file("scores.csv")}, &port);
    if (!stream) {
        GTEST_SKIP() << "bio-stream is not part of this build";
    }
    HostOptions options;
    options.scenario = "glass 10f\nfinger 20f\nglass 10f\n";
    options.sets = {"net_debug_ip=127.0.0.1", "net_debug_port=" + std::to_string(port),
                    "finger_image_path=" + dir.file("finger.png")};
    auto host = start_host(dir, options);
    const auto image = expect_line(*host, is_bus("identifier_new_biometric_image"), "image", 0, start_wait);
    ASSERT_TRUE(image);
    const Json published = image->second["fields"];
    ASSERT_TRUE(expect_line(*host, is_bus("bio_module_finger_removed"), "removal", image->first));
    const std::size_t from = host->lines().size();
    host->write_line("quit");
    ASSERT_EQ(host->wait_exit(event_wait), std::optional<int>(0)) << dump(*host);
    const auto summary = expect_line(*host, is_kind("summary"), "summary", from);
    ASSERT_TRUE(summary);
    const int frames = summary->second["frames"];
    // Every frame the module took went to the stream (the last one may have been taken
    // but not yet sent when bio-host left); loopback loses nothing.
    ASSERT_TRUE(stream->wait_line(
        [&](const std::string& line) {
            return line.rfind("frame " + std::to_string(frames - 1) + ":", 0) == 0;
        },
        event_wait))
        << dump(*stream);
    stream->send_signal(SIGTERM);
    ASSERT_EQ(stream->wait_exit(event_wait), std::optional<int>(0)) << dump(*stream);

    // bio-stream: a line, a CSV row and a picture per frame, each with its score.
    const auto rows = read_csv(dir.file("scores.csv"));
    // (The loop may take a few more frames while bio-host prints its summary.)
    ASSERT_GE(rows.size(), static_cast<std::size_t>(frames - 1));
    int frame_lines = 0;
    for (const std::string& line : stream->lines()) {
        frame_lines += line.rfind("frame ", 0) == 0;
    }
    EXPECT_EQ(frame_lines, static_cast<int>(rows.size()));
    EXPECT_EQ(list_files(dir.file("frames"), "frame-").size(), rows.size());
    int best = 0;
    int finger_frames = 0;
    for (const CsvRow& row : rows) {
        EXPECT_EQ(row.kind, "grey-260x350");
        EXPECT_EQ(row.bytes, 91000);
        if (row.score >= 300) {
            ++finger_frames;
            best = std::max(best, row.score);
        }
    }
    EXPECT_EQ(finger_frames, 20);
    // The published score is the best score of the touch's counted frames, which the
    // stream showed.
    EXPECT_LE(published["variance"].get<int>(), best);
    EXPECT_GE(published["variance"].get<int>(), 300);

    // The finger file holds the published image: grey in all three channels, the same bytes.
    const Picture file = decode_png(dir.file("finger.png"), true);
    ASSERT_EQ(file.width, 260u);
    ASSERT_EQ(file.height, 350u);
    std::vector<unsigned char> grey(260 * 350);
    for (std::size_t i = 0; i < grey.size(); ++i) {
        const unsigned char* rgb = &file.samples[3 * i];
        ASSERT_TRUE(rgb[0] == rgb[1] && rgb[1] == rgb[2]) << "pixel " << i;
        grey[i] = rgb[0];
    }
    EXPECT_EQ(fnv1a64_hex(grey.data(), grey.size()), published["image"]["fnv1a64"]);

    // The published image is the corrected best frame, which the stream also carried.
    bool streamed = false;
    for (const CsvRow& row : rows) {
        if (row.score != published["variance"].get<int>()) {
            continue;
        }
        char name[64];
        std::snprintf(name, sizeof name, "frame-%06d.png", row.frame);
        const Picture picture = decode_png(dir.file("frames") + "/" + name, false);
        streamed |=
            fnv1a64_hex(picture.samples.data(), picture.samples.size()) == published["image"]["fnv1a64"];
    }
    EXPECT_TRUE(streamed) << "no streamed frame equals the published image";
}

}  // namespace
}  // namespace bio_it
