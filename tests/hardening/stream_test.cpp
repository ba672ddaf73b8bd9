// bio-stream under hostile traffic and careless use: its stop conditions hold under floods, a
// killed recorder keeps every frame it reported, and fingerprint files are private and never
// written through a planted link.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "child.h"
#include "recording/recording.h"

namespace {

using namespace hardening;
using clock_type = std::chrono::steady_clock;

// bio-stream on a free loopback port with `options`; the port once it listens, else 0.
int start_stream(std::unique_ptr<Child>& stream, std::vector<std::string> options) {
    options.insert(options.begin(), {BIO_STREAM_EXE, "--bind", "127.0.0.1", "--port", "0"});
    stream = std::make_unique<Child>(options);
    const std::string prefix = "listening on 127.0.0.1:";
    if (!stream->wait_for("\n", scaled(10s))) {
        return 0;
    }
    const std::string out = stream->output();
    return out.find(prefix) == std::string::npos ? 0
                                                 : std::stoi(out.substr(out.find(prefix) + prefix.size()));
}

// Sends datagrams of `sizes`, in turn and 32 to a system call, to 127.0.0.1:port until `stop`.
void flood(int port, std::vector<std::size_t> sizes, const std::atomic<bool>& stop) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    static std::vector<unsigned char> bytes(65536, 0x5A);
    std::vector<iovec> slices(32);
    std::vector<mmsghdr> batch(32);
    for (std::size_t i = 0; i < batch.size(); ++i) {
        slices[i] = {bytes.data(), sizes[i % sizes.size()]};
        batch[i].msg_hdr = {&to, sizeof to, &slices[i], 1, nullptr, 0, 0};
    }
    // Whole frames in every batch: 32 datagrams hold a whole number of cycles.
    const unsigned count = static_cast<unsigned>(32 - 32 % sizes.size());
    while (!stop) {
        ::sendmmsg(fd, batch.data(), count, 0);
    }
    ::close(fd);
}

struct Flooders {
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    Flooders(int port, const std::vector<std::size_t>& sizes, int senders) {
        for (int i = 0; i < senders; ++i) {
            threads.emplace_back([this, port, sizes] { flood(port, sizes, stop); });
        }
    }
    ~Flooders() {
        stop = true;
        for (std::thread& thread : threads) {
            thread.join();
        }
    }
};

const std::vector<std::size_t> raw_frame = {4,     60000, 60000, 60000, 60000, 60000,
                                            60000, 60000, 60000, 60000, 60000, 14400};

struct FloodCase {
    const char* name;
    std::vector<std::size_t> sizes;
    int senders;
    std::vector<std::string> options;  // "@dir" stands for a temporary directory
    int stop_signal;                   // 0: an option stops it
};

TEST(StreamFlood, StopsOnTimeWhateverArrives) {
    const std::vector<FloodCase> cases = {
        {"4-byte headers, one sender, --seconds", {4}, 1, {"--seconds", "1"}, 0},
        {"4-byte headers, three senders, SIGTERM", {4}, 3, {}, SIGTERM},
        {"grey frames into pictures, SIGINT", {4, 60000, 31000}, 1, {"--out", "@dir"}, SIGINT},
        {"60000-byte strays, three senders, --seconds", {60000}, 3, {"--quiet", "--seconds", "1"}, 0},
        {"raw frames, two senders, SIGTERM", raw_frame, 2, {"--quiet"}, SIGTERM},
    };
    for (const FloodCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::vector<std::string> options = c.options;
        for (std::string& option : options) {
            option = option == "@dir" ? dir.path.string() : option;
        }
        std::unique_ptr<Child> stream;
        const int port = start_stream(stream, options);
        ASSERT_NE(port, 0) << stream->output();
        const auto from = clock_type::now() + (c.stop_signal == 0 ? 1s : 300ms);
        clock_type::time_point ended;
        {
            Flooders flooders(port, c.sizes, c.senders);
            if (c.stop_signal != 0) {
                std::this_thread::sleep_until(from);  // a flood of a set length before the signal
                stream->signal(c.stop_signal);
            }
            EXPECT_EQ(stream->wait_exit(scaled(8s)), 0);
            ended = clock_type::now();
        }
        EXPECT_LE(std::chrono::duration_cast<std::chrono::milliseconds>(ended - from).count(),
                  scaled(500ms).count());
        EXPECT_NE(stream->output().find(" cut short, "), std::string::npos) << "no summary";
    }
}

// Whole frames reported: the printed lines "frame N: score S, KIND, B bytes".
int reported_frames(const std::string& output) {
    std::istringstream lines(output);
    int count = 0;
    for (std::string line; std::getline(lines, line);) {
        count += line.rfind("frame ", 0) == 0 && line.find("cut short") == std::string::npos;
    }
    return count;
}

int recorded_frames(const fs::path& path) {
    recording::Reader reader(path.string());
    recording::Frame frame;
    int count = 0;
    while (reader.next(frame)) {
        ++count;
    }
    return count;
}

TEST(KilledRecorder, KeepsEveryFrameItReported) {
    TempDir dir;
    const fs::path record = dir.path / "touch.biorec";
    std::unique_ptr<Child> stream;
    const int port = start_stream(stream, {"--record", record.string()});
    ASSERT_NE(port, 0);
    Flooders flooders(port, raw_frame, 1);
    ASSERT_TRUE(stream->wait_for("frame 3: ", scaled(20s))) << stream->output();
    stream->signal(SIGKILL);
    EXPECT_EQ(stream->wait_exit(scaled(5s)), 128 + SIGKILL);
    const int reported = reported_frames(stream->output());
    EXPECT_GE(reported, 1);
    EXPECT_GE(recorded_frames(record), reported);
}

TEST(KilledRecorder, RecordingWithoutFramesReadsEmpty) {
    TempDir dir;
    const fs::path record = dir.path / "empty.biorec";
    std::unique_ptr<Child> stream;
    const int port = start_stream(stream, {"--record", record.string()});
    ASSERT_NE(port, 0);
    {
        // Header-only frames are never recorded; the first one shows the recorder is ready.
        Flooders flooders(port, {4}, 1);
        ASSERT_TRUE(stream->wait_for("frame 1: ", scaled(10s))) << stream->output();
        stream->signal(SIGKILL);
        stream->wait_exit(scaled(5s));
    }
    std::ofstream(dir.path / "zero.biorec").flush();
    for (const fs::path& path : {record, dir.path / "zero.biorec"}) {
        EXPECT_NO_THROW(EXPECT_EQ(recorded_frames(path), 0)) << path;
    }
}

TEST(PrivateFiles, PicturesAndRecordingAreOwnerOnlyAndLinksStay) {
    const mode_t old_mask = ::umask(022);
    TempDir dir;
    const fs::path out = dir.path / "frames";
    const fs::path record = dir.path / "touch.biorec";
    fs::create_directory(out);
    std::ofstream(dir.path / "victim") << "victim";
    fs::create_symlink(dir.path / "victim", out / "frame-000001.png");
    std::unique_ptr<Child> stream;
    const int port =
        start_stream(stream, {"--frames", "1", "--out", out.string(), "--record", record.string()});
    ASSERT_NE(port, 0);
    {
        Flooders flooders(port, raw_frame, 1);
        EXPECT_EQ(stream->wait_exit(scaled(20s)), 0) << stream->output();
    }
    EXPECT_TRUE(text_of(dir.path / "victim") == "victim") << "the link's target was written";
    EXPECT_EQ(mode_of(out / "frame-000001.png") & 0777, 0600u);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(out / "frame-000001.png")));
    EXPECT_EQ(mode_of(record) & 0777, 0600u);
    ::umask(old_mask);
}

TEST(PrivateFiles, RecordingAndTableRefusePlantedLinks) {
    for (const char* option : {"--record", "--csv"}) {
        SCOPED_TRACE(option);
        TempDir dir;
        std::ofstream(dir.path / "victim") << "victim";
        fs::create_symlink(dir.path / "victim", dir.path / "link");
        Child stream({BIO_STREAM_EXE, "--bind", "127.0.0.1", "--port", "0", "--seconds", "0.2", option,
                      (dir.path / "link").string()});
        EXPECT_EQ(stream.wait_exit(scaled(10s)), 1) << stream.output();
        EXPECT_TRUE(text_of(dir.path / "victim") == "victim") << "the link's target was written";
    }
}

}  // namespace
