// bio-stream as a process, fed over loopback by the module's own sender: whole frames in
// order with their bytes, cut-short frames counted and not kept, the recording and the
// pictures, and the stop conditions.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bio_module.h"
#include "png_decode.h"
#include "recording/recording.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// bio-stream running as a child process with its standard output on a pipe.
class BioStreamProcess {
public:
    explicit BioStreamProcess(const std::vector<std::string>& options) {
        std::vector<std::string> argv;
        std::istringstream emulator(std::getenv("BIO_TEST_EMULATOR") ? std::getenv("BIO_TEST_EMULATOR") : "");
        for (std::string word; emulator >> word;) {
            argv.push_back(word);
        }
        argv.push_back(BIO_STREAM_EXECUTABLE);
        argv.insert(argv.end(), options.begin(), options.end());
        std::vector<char*> args;
        for (std::string& arg : argv) {
            args.push_back(arg.data());
        }
        args.push_back(nullptr);

        int pipe_fds[2];
        if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe failed";
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
        const int spawned = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipe_fds[1]);
        output_fd_ = pipe_fds[0];
        if (spawned != 0) {
            pid_ = -1;
            ADD_FAILURE() << "cannot start " << args[0];
        }
    }

    ~BioStreamProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        if (output_fd_ != -1) {
            ::close(output_fd_);
        }
    }

    BioStreamProcess(const BioStreamProcess&) = delete;
    BioStreamProcess& operator=(const BioStreamProcess&) = delete;

    // The next line of output (without its end), or "<timeout>" / "<eof>".
    std::string line(std::chrono::milliseconds timeout = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const std::size_t end = buffered_.find('\n');
            if (end != std::string::npos) {
                std::string text = buffered_.substr(0, end);
                buffered_.erase(0, end + 1);
                return text;
            }
            if (eof_) {
                return "<eof>";
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return "<timeout>";
            }
            pollfd waiting{output_fd_, POLLIN, 0};
            if (::poll(&waiting, 1, static_cast<int>(left.count())) == 1) {
                char chunk[4096];
                const ssize_t got = ::read(output_fd_, chunk, sizeof chunk);
                if (got <= 0) {
                    eof_ = true;
                } else {
                    buffered_.append(chunk, static_cast<std::size_t>(got));
                }
            }
        }
    }

    // The port from the first line, "bio-stream: listening on 127.0.0.1:PORT"; 0 if absent.
    int listening_port() {
        const std::string first = line();
        const std::string prefix = "bio-stream: listening on 127.0.0.1:";
        if (first.rfind(prefix, 0) != 0) {
            ADD_FAILURE() << "unexpected first line: " << first;
            return 0;
        }
        return std::stoi(first.substr(prefix.size()));
    }

    // Every remaining line up to the end of output, then the exit status (-1: not exited
    // normally, or no end of output within the time-out).
    int finish(std::vector<std::string>& rest, std::chrono::milliseconds timeout = 10s) {
        for (std::string text = line(timeout); text != "<eof>"; text = line(timeout)) {
            if (text == "<timeout>") {
                ADD_FAILURE() << "bio-stream did not end";
                return -1;
            }
            rest.push_back(text);
        }
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    void signal(int number) const { ::kill(pid_, number); }

private:
    pid_t pid_ = -1;
    int output_fd_ = -1;
    std::string buffered_;
    bool eof_ = false;
};

std::vector<unsigned char> pattern(std::size_t size, unsigned seed) {
    std::vector<unsigned char> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<unsigned char>((i * (2 * seed + 1) + seed + i / 997) & 0xFF);
    }
    return bytes;
}

// Sends one datagram to 127.0.0.1:port from a socket of its own.
void send_datagram(int port, const std::vector<unsigned char>& bytes) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(
        ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof address),
        static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

std::string read_text(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class ReceiverTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string dir_pattern = (fs::temp_directory_path() / "bio-stream-XXXXXX").string();
        ASSERT_NE(mkdtemp(dir_pattern.data()), nullptr);
        dir_ = dir_pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path dir_;
};

TEST_F(ReceiverTest, WholeFramesArriveInOrderAndAreKept) {
    const fs::path out = dir_ / "frames";
    const fs::path csv = dir_ / "scores.csv";
    const fs::path record = dir_ / "stream.biorec";
    BioStreamProcess receiver({"--bind", "127.0.0.1", "--port", "0", "--frames", "3", "--out", out.string(),
                               "--csv", csv.string(), "--record", record.string()});
    const int port = receiver.listening_port();
    ASSERT_NE(port, 0);

    std::vector<unsigned char> first = pattern(614400, 1);
    std::vector<unsigned char> grey = pattern(91000, 2);
    std::vector<unsigned char> third = pattern(614400, 3);
    send_fingerprint("127.0.0.1", port, 300, first.data(), 614400);
    send_fingerprint("127.0.0.1", port, 12, grey.data(), 91000);
    send_fingerprint("127.0.0.1", port, -7, third.data(), 614400);

    EXPECT_EQ(receiver.line(), "frame 1: score 300, raw, 614400 bytes");
    EXPECT_EQ(receiver.line(), "frame 2: score 12, grey-260x350, 91000 bytes");
    EXPECT_EQ(receiver.line(), "frame 3: score -7, raw, 614400 bytes");
    std::vector<std::string> rest;
    EXPECT_EQ(receiver.finish(rest), 0);
    // 3 headers of 4 bytes, 614400 + 91000 + 614400 payload bytes.
    EXPECT_THAT(rest, ::testing::ElementsAre("bio-stream: 3 frames, 0 cut short, 1319812 bytes"));

    EXPECT_EQ(read_text(csv),
              "frame,score,kind,bytes\n1,300,raw,614400\n2,12,grey-260x350,91000\n3,-7,raw,614400\n");

    // Only the raw frames are recorded, with their scores and bytes.
    recording::Reader reader(record.string());
    recording::Frame frame;
    ASSERT_TRUE(reader.next(frame));
    EXPECT_EQ(frame.score, 300);
    EXPECT_TRUE(frame.bytes == first);
    ASSERT_TRUE(reader.next(frame));
    EXPECT_EQ(frame.score, -7);
    EXPECT_TRUE(frame.bytes == third);
    EXPECT_FALSE(reader.next(frame));

    const bio_stream_test::GreyPicture raw_picture =
        bio_stream_test::decode_grey_png((out / "frame-000001.png").string());
    ASSERT_EQ(raw_picture.width, 640u);
    ASSERT_EQ(raw_picture.height, 480u);
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < 640 * 480; ++i) {
        mismatches += raw_picture.pixels[i] != first[2 * i];
    }
    EXPECT_EQ(mismatches, 0u);
    const bio_stream_test::GreyPicture grey_picture =
        bio_stream_test::decode_grey_png((out / "frame-000002.png").string());
    EXPECT_EQ(grey_picture.width, 260u);
    EXPECT_EQ(grey_picture.height, 350u);
    EXPECT_TRUE(grey_picture.pixels == grey);
    EXPECT_TRUE(fs::exists(out / "frame-000003.png"));
}

TEST_F(ReceiverTest, CutShortFrameIsCountedAndNotWritten) {
    const fs::path out = dir_ / "frames";
    const fs::path record = dir_ / "stream.biorec";
    BioStreamProcess receiver({"--bind", "127.0.0.1", "--port", "0", "--frames", "1", "--out", out.string(),
                               "--record", record.string()});
    const int port = receiver.listening_port();
    ASSERT_NE(port, 0);

    // A raw frame of which only the header and the first slice arrive.
    send_datagram(port, {5, 0, 0, 0});
    send_datagram(port, pattern(60000, 4));
    std::vector<unsigned char> grey = pattern(83200, 5);
    send_fingerprint("127.0.0.1", port, 6, grey.data(), 83200);

    EXPECT_EQ(receiver.line(), "frame 1: score 5, cut short after 60000 bytes");
    EXPECT_EQ(receiver.line(), "frame 2: score 6, grey-260x320, 83200 bytes");
    std::vector<std::string> rest;
    EXPECT_EQ(receiver.finish(rest), 0);
    // 4 + 60000 + 4 + 83200 bytes.
    EXPECT_THAT(rest, ::testing::ElementsAre("bio-stream: 1 frames, 1 cut short, 143208 bytes"));
    EXPECT_FALSE(fs::exists(out / "frame-000001.png"));
    EXPECT_TRUE(fs::exists(out / "frame-000002.png"));
    recording::Reader reader(record.string());
    recording::Frame frame;
    EXPECT_FALSE(reader.next(frame)) << "a cut-short raw frame was recorded";
}

TEST_F(ReceiverTest, HeaderOnlyFramesEndAtTheNextHeader) {
    BioStreamProcess receiver({"--bind", "127.0.0.1", "--port", "0", "--frames", "2"});
    const int port = receiver.listening_port();
    ASSERT_NE(port, 0);
    unsigned char unused = 0;
    send_fingerprint("127.0.0.1", port, 1, &unused, 0);
    send_fingerprint("127.0.0.1", port, 2, &unused, 0);
    send_fingerprint("127.0.0.1", port, 3, &unused, 0);
    std::vector<std::string> lines;
    EXPECT_EQ(receiver.finish(lines), 0);
    EXPECT_THAT(lines, ::testing::ElementsAre("frame 1: score 1, header, 0 bytes",
                                              "frame 2: score 2, header, 0 bytes",
                                              "bio-stream: 2 frames, 0 cut short, 12 bytes"));
}

TEST_F(ReceiverTest, SecondsEndReceptionWithoutTraffic) {
    const auto started = std::chrono::steady_clock::now();
    BioStreamProcess receiver({"--bind", "127.0.0.1", "--port", "0", "--seconds", "0.3", "--quiet"});
    ASSERT_NE(receiver.listening_port(), 0);
    std::vector<std::string> rest;
    EXPECT_EQ(receiver.finish(rest), 0);
    EXPECT_THAT(rest, ::testing::ElementsAre("bio-stream: 0 frames, 0 cut short, 0 bytes"));
    EXPECT_GE(std::chrono::steady_clock::now() - started, 300ms);
}

TEST_F(ReceiverTest, TerminationSignalStopsCleanlyWithASummary) {
    for (const int number : {SIGTERM, SIGINT}) {
        BioStreamProcess receiver({"--bind", "127.0.0.1", "--port", "0"});
        const int port = receiver.listening_port();
        ASSERT_NE(port, 0);
        std::vector<unsigned char> grey = pattern(83200, 6);
        send_fingerprint("127.0.0.1", port, 40, grey.data(), 83200);
        ASSERT_EQ(receiver.line(), "frame 1: score 40, grey-260x320, 83200 bytes");
        // A frame still open when the signal comes is reported as cut short; what was queued
        // before the signal is read first. 4 + 83200 + 4 + 60000 bytes in all.
        send_datagram(port, {41, 0, 0, 0});
        send_datagram(port, pattern(60000, 7));
        receiver.signal(number);
        std::vector<std::string> rest;
        EXPECT_EQ(receiver.finish(rest), 0) << "signal " << number;
        EXPECT_THAT(rest, ::testing::ElementsAre("frame 2: score 41, cut short after 60000 bytes",
                                                 "bio-stream: 1 frames, 1 cut short, 143208 bytes"))
            << "signal " << number;
    }
}

TEST_F(ReceiverTest, BadOptionsAreRefused) {
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{"--port", "70000"}, std::vector<std::string>{"--frames", "1"},
          std::vector<std::string>{"--port", "0", "--bind", "localhost"}}) {
        BioStreamProcess receiver(options);
        std::vector<std::string> output;
        EXPECT_NE(receiver.finish(output), 0) << options.front() << " " << options.back();
    }
}

}  // namespace
