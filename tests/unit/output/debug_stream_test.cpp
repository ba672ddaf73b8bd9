// UDP debug stream over loopback: datagram counts, sizes and bytes of each frame, the
// header's byte order, the port's low 16 bits, and the texts printed on failure.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bio_module.h"

namespace {

using Datagram = std::vector<unsigned char>;

// The datagram that marks the end of what a test sent; no frame datagram is 3 bytes long.
const Datagram end_marker = {'E', 'N', 'D'};

// A UDP socket bound on 127.0.0.1 with room for a whole raw frame in its queue.
class Receiver {
public:
    // Binds to `port` (0: the system picks one). ok() tells whether the bind worked.
    explicit Receiver(std::uint16_t port = 0) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        if (fd_ == -1) {
            return;
        }
        // A raw frame is 614400 bytes in 12 datagrams, all queued before the test reads.
        const int queue_bytes = 8 << 20;
        if (::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &queue_bytes, sizeof queue_bytes) != 0) {
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &queue_bytes, sizeof queue_bytes);
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            bind_errno_ = errno;
            return;
        }
        socklen_t length = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~Receiver() {
        if (fd_ != -1) {
            ::close(fd_);
        }
    }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    bool ok() const { return port_ != 0; }
    int bind_errno() const { return bind_errno_; }
    int port() const { return port_; }

    // Sends the end marker to this receiver from a socket of its own.
    void mark_end() const {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port_));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::sendto(fd, end_marker.data(), end_marker.size(), 0, reinterpret_cast<sockaddr*>(&address),
                 sizeof address);
        ::close(fd);
    }

    // Every datagram that arrived before the end marker; fails the test when the marker does
    // not come within two seconds of the last datagram.
    std::vector<Datagram> until_end() const {
        std::vector<Datagram> seen;
        Datagram buffer(65536);
        for (;;) {
            pollfd waiting{fd_, POLLIN, 0};
            if (::poll(&waiting, 1, 2000) != 1) {
                ADD_FAILURE() << "end marker not received";
                return seen;
            }
            const ssize_t got = ::recv(fd_, buffer.data(), buffer.size(), 0);
            if (got < 0) {
                ADD_FAILURE() << "recv: " << std::strerror(errno);
                return seen;
            }
            Datagram datagram(buffer.begin(), buffer.begin() + got);
            if (datagram == end_marker) {
                return seen;
            }
            seen.push_back(std::move(datagram));
        }
    }

private:
    int fd_ = -1;
    int port_ = 0;
    int bind_errno_ = 0;
};

std::vector<unsigned char> payload_of(std::size_t size) {
    std::vector<unsigned char> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<unsigned char>((i * 13 + i / 251) & 0xFF);
    }
    return bytes;
}

std::vector<std::size_t> sizes_of(const std::vector<Datagram>& datagrams) {
    std::vector<std::size_t> sizes;
    for (const Datagram& datagram : datagrams) {
        sizes.push_back(datagram.size());
    }
    return sizes;
}

// Descriptors open in this process, to see that no socket is left behind.
int open_descriptors() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir)) {
            count += entry->d_name[0] != '.';
        }
        ::closedir(dir);
    }
    return count;
}

struct SliceCase {
    const char* name;
    int length;
    std::vector<std::size_t> sizes;  // every datagram of the frame, header first
};

void PrintTo(const SliceCase& c, std::ostream* out) {
    *out << "length " << c.length;
}

class SliceTest : public ::testing::TestWithParam<SliceCase> {};

TEST_P(SliceTest, FrameGoesOutAsHeaderThenConsecutiveSlices) {
    const SliceCase& c = GetParam();
    Receiver receiver;
    ASSERT_TRUE(receiver.ok()) << std::strerror(receiver.bind_errno());
    std::vector<unsigned char> payload = payload_of(614400);

    ::testing::internal::CaptureStdout();
    send_fingerprint("127.0.0.1", receiver.port(), 1234, payload.data(), c.length);
    receiver.mark_end();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");

    const std::vector<Datagram> datagrams = receiver.until_end();
    ASSERT_EQ(sizes_of(datagrams), c.sizes);
    EXPECT_THAT(datagrams[0], ::testing::ElementsAre(0xD2, 0x04, 0x00, 0x00));  // 1234
    std::vector<unsigned char> joined;
    for (std::size_t i = 1; i < datagrams.size(); ++i) {
        joined.insert(joined.end(), datagrams[i].begin(), datagrams[i].end());
    }
    const std::size_t sent = c.length > 0 ? static_cast<std::size_t>(c.length) : 0;
    EXPECT_TRUE(std::equal(joined.begin(), joined.end(), payload.begin()) && joined.size() == sent)
        << "payload bytes differ from what was passed";
}

const std::vector<std::size_t> raw_sizes = {4,     60000, 60000, 60000, 60000, 60000,
                                            60000, 60000, 60000, 60000, 60000, 14400};

INSTANTIATE_TEST_SUITE_P(
    Lengths, SliceTest,
    ::testing::Values(SliceCase{"raw_614400", 614400, raw_sizes},
                      SliceCase{"grey_91000", 91000, {4, 60000, 31000}},
                      SliceCase{"grey_83200", 83200, {4, 60000, 23200}}, SliceCase{"empty_0", 0, {4}},
                      SliceCase{"one_slice_60000", 60000, {4, 60000}},
                      SliceCase{"one_over_60001", 60001, {4, 60000, 1}},
                      SliceCase{"single_byte_1", 1, {4, 1}}, SliceCase{"negative_minus_1", -1, {4}},
                      SliceCase{"negative_minus_60000", -60000, {4}}),
    [](const ::testing::TestParamInfo<SliceCase>& param_info) { return param_info.param.name; });

struct HeaderCase {
    int score;
    std::vector<unsigned char> bytes;
};

void PrintTo(const HeaderCase& c, std::ostream* out) {
    *out << "score " << c.score;
}

class HeaderTest : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderTest, HeaderIsTheScoreLeastSignificantByteFirst) {
    Receiver receiver;
    ASSERT_TRUE(receiver.ok()) << std::strerror(receiver.bind_errno());
    unsigned char unused = 0;
    send_fingerprint("127.0.0.1", receiver.port(), GetParam().score, &unused, 0);
    receiver.mark_end();
    const std::vector<Datagram> datagrams = receiver.until_end();
    ASSERT_EQ(datagrams.size(), 1u);
    EXPECT_EQ(datagrams[0], GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(Scores, HeaderTest,
                         ::testing::Values(HeaderCase{300, {0x2C, 0x01, 0x00, 0x00}},
                                           HeaderCase{0, {0, 0, 0, 0}},
                                           HeaderCase{-2, {0xFE, 0xFF, 0xFF, 0xFF}},
                                           HeaderCase{0x12345678, {0x78, 0x56, 0x34, 0x12}}),
                         [](const ::testing::TestParamInfo<HeaderCase>& param_info) {
                             const int score = param_info.param.score;
                             return score < 0 ? "score_minus_" + std::to_string(-score)
                                              : "score_" + std::to_string(score);
                         });

TEST(DebugStreamTest, OnlyTheLow16BitsOfThePortReachTheWire) {
    Receiver receiver(4464);
    if (!receiver.ok()) {
        GTEST_SKIP() << "127.0.0.1:4464 is not available: " << std::strerror(receiver.bind_errno());
    }
    unsigned char unused = 0;
    send_fingerprint("127.0.0.1", 70000, 7, &unused, 0);  // 70000 = 0x11170, low half 0x1170 = 4464
    receiver.mark_end();
    const std::vector<Datagram> datagrams = receiver.until_end();
    ASSERT_EQ(datagrams.size(), 1u);
    EXPECT_THAT(datagrams[0], ::testing::ElementsAre(7, 0, 0, 0));
}

TEST(DebugStreamTest, ShortAddressFormIsAccepted) {
    Receiver receiver;
    ASSERT_TRUE(receiver.ok()) << std::strerror(receiver.bind_errno());
    std::vector<unsigned char> payload = payload_of(83200);
    ::testing::internal::CaptureStdout();
    send_fingerprint("127.1", receiver.port(), 300, payload.data(), 83200);  // 127.1 = 127.0.0.1
    receiver.mark_end();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_THAT(sizes_of(receiver.until_end()), ::testing::ElementsAre(4u, 60000u, 23200u));
}

TEST(DebugStreamTest, HostNameIsNotResolvedAndIsReportedOnEveryFrame) {
    unsigned char payload[4] = {};
    const int before = open_descriptors();
    ::testing::internal::CaptureStdout();
    send_fingerprint("localhost", 4464, 300, payload, 4);
    send_fingerprint("localhost", 4464, 300, payload, 4);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "inet_aton() failed\ninet_aton() failed\n");
    EXPECT_EQ(open_descriptors(), before) << "a socket was left open";
}

TEST(DebugStreamTest, RefusedSendIsReportedOncePerFrame) {
    std::vector<unsigned char> payload = payload_of(614400);
    const int before = open_descriptors();
    ::testing::internal::CaptureStdout();
    // Linux refuses a datagram to port 0.
    send_fingerprint("127.0.0.1", 0, 300, payload.data(), 614400);
    send_fingerprint("127.0.0.1", 65536, 300, payload.data(), 614400);  // low 16 bits: 0
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Erro enviando\nErro enviando\n");
    EXPECT_EQ(open_descriptors(), before) << "a socket was left open";
}

TEST(DebugStreamTest, NobodyListeningIsNotAnError) {
    int port = 0;
    {
        Receiver gone;
        ASSERT_TRUE(gone.ok());
        port = gone.port();
    }  // closed: nothing listens on the port any more
    std::vector<unsigned char> payload = payload_of(614400);
    const int before = open_descriptors();
    ::testing::internal::CaptureStdout();
    for (int frame = 0; frame < 3; ++frame) {
        send_fingerprint("127.0.0.1", port, 300, payload.data(), 614400);
    }
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(open_descriptors(), before) << "a socket was left open";
}

}  // namespace
