// The virtual sensor where the module's tests rely on it: a client dequeues the frames that
// frame_at names (a replayed recording's included), a fault and a stall come where they were set,
// S_FMT is answered as a capture driver does and traced with what was asked, and the counters
// go back to zero after teardown.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <linux/videodev2.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "bio_test/files.h"
#include "recording/recording.h"
#include "vsensor/vsensor.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* device = "/dev/video-vsensor-test";

void configure(double fps, const std::string& scenario) {
    vsensor::Config config;
    config.device_path = device;
    config.fps = fps;
    config.scenario = scenario;
    vsensor::configure(config);
}

v4l2_buffer capture_buffer(std::uint32_t index) {
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.index = index;
    return buffer;
}

// A capture client making the module's requests, each repeated while it fails with EINTR;
// `error` keeps the errno of the last one (0 when it worked).
class Client {
public:
    Client() : fd_(::open(device, O_RDWR | O_NONBLOCK)) {}
    ~Client() {
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request(VIDIOC_STREAMOFF, &type);
        for (const auto& [start, length] : maps_) {
            ::munmap(start, length);
        }
        ::close(fd_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool request(unsigned long number, void* arg) {
        int result = 0;
        while ((result = ::ioctl(fd_, number, arg)) == -1 && errno == EINTR) {
        }
        error = result == 0 ? 0 : errno;
        return result == 0;
    }

    // Three buffers requested, mapped and queued, then STREAMON; false at the first failure.
    bool start() {
        v4l2_requestbuffers buffers{};
        buffers.count = 3;
        buffers.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffers.memory = V4L2_MEMORY_MMAP;
        bool ok = request(VIDIOC_REQBUFS, &buffers);
        for (std::uint32_t i = 0; ok && i < buffers.count; ++i) {
            v4l2_buffer buffer = capture_buffer(i);
            ok = request(VIDIOC_QUERYBUF, &buffer);
            void* start =
                ok ? ::mmap(nullptr, buffer.length, PROT_READ, MAP_SHARED, fd_, buffer.m.offset) : MAP_FAILED;
            if (start != MAP_FAILED) {
                maps_.emplace_back(start, buffer.length);
            }
            ok = start != MAP_FAILED && request(VIDIOC_QBUF, &buffer);
        }
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        return ok && request(VIDIOC_STREAMON, &type);
    }

    // The next frame's bytes, its buffer queued again at once; empty when select() finds none
    // within `wait` or a request fails.
    std::vector<unsigned char> next_frame(std::chrono::milliseconds wait = 10s) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd_, &readable);
        timeval limit{static_cast<time_t>(wait.count() / 1000),
                      static_cast<suseconds_t>(wait.count() % 1000 * 1000)};
        v4l2_buffer buffer = capture_buffer(0);
        if (::select(fd_ + 1, &readable, nullptr, nullptr, &limit) != 1 || !request(VIDIOC_DQBUF, &buffer)) {
            return {};
        }
        const auto* bytes = static_cast<const unsigned char*>(maps_.at(buffer.index).first);
        std::vector<unsigned char> frame(bytes, bytes + buffer.bytesused);
        return request(VIDIOC_QBUF, &buffer) ? frame : std::vector<unsigned char>{};
    }

    int fd() const { return fd_; }
    int error = 0;

private:
    int fd_;
    std::vector<std::pair<void*, std::size_t>> maps_;
};

TEST(VsensorFrames, ClientDequeuesWhatFrameAtNamesAndCountersReturnToZero) {
    bio_test::TempDir dir;
    std::vector<unsigned char> recorded(recording::raw_frame_bytes);
    for (std::size_t i = 0; i < recorded.size(); ++i) {
        recorded[i] = static_cast<unsigned char>(i * 7 % 251);
    }
    recording::Writer writer(dir.file("one.biorec"));
    writer.append(5, recorded.data());
    writer.close();
    configure(0.0, "replay " + dir.file("one.biorec") + "\nglass 1f\nfinger 2f\n");
    EXPECT_TRUE(vsensor::frame_at(0) == recorded);
    {
        Client client;
        ASSERT_TRUE(client.start()) << std::strerror(client.error);
        for (std::uint64_t n = 0; n < 4; ++n) {
            EXPECT_TRUE(client.next_frame() == vsensor::frame_at(n)) << "frame " << n;
        }
        EXPECT_FALSE(vsensor::wait_frames_dequeued(5, 0ms));
        const vsensor::Counters open = vsensor::counters();
        EXPECT_EQ(open.open_descriptors, 1);
        EXPECT_EQ(open.live_mappings, 3);
        EXPECT_TRUE(open.streaming);
    }
    const vsensor::Counters closed = vsensor::counters();
    EXPECT_EQ(closed.open_descriptors, 0);
    EXPECT_EQ(closed.live_mappings, 0);
    EXPECT_FALSE(closed.streaming);
}

// Each frame's truth: empty glass, the fixed finger and a physical touch (one touch per step,
// counted on over repeats) and a replayed recording's own truth, given by truth_at, sent as a
// datagram naming the frame's bytes, kept with the dequeued frame (counters, the C entry point,
// the trace).
TEST(VsensorTruth, EveryFrameCarriesItsTruthToTheClientAndTheReceiver) {
    bio_test::TempDir dir;
    recording::Truth recorded;
    recorded.known = recorded.contact = true;
    recorded.phase = recording::Phase::press;
    recorded.contact_permyriad = 4000;
    recorded.touch = 7;
    recording::Writer writer(dir.file("t.biorec"), true);
    writer.append(5, std::vector<unsigned char>(recording::raw_frame_bytes, 9).data(), 0, recorded);
    writer.close();
    const int receiver = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(::bind(receiver, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::getsockname(receiver, reinterpret_cast<sockaddr*>(&address), &size), 0);
    configure(0.0, "truth_to 127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "\nglass 1f\nfinger 2f\nreplay " +
                       dir.file("t.biorec") + "\ntouch approach=0 press=33ms hold=0 lift=33ms\nrepeat\n");
    struct Expected {
        bool contact;
        std::uint32_t touch;
        recording::Phase phase;
    };
    const Expected expected[] = {{false, 0, recording::Phase::none}, {true, 1, recording::Phase::hold},
                                 {true, 1, recording::Phase::hold},  {true, 7, recording::Phase::press},
                                 {true, 2, recording::Phase::press}, {true, 2, recording::Phase::lift},
                                 {false, 0, recording::Phase::none}, {true, 3, recording::Phase::hold}};
    Client client;
    ASSERT_TRUE(client.start());
    for (std::uint32_t n = 0; n < 8; ++n) {
        const recording::Truth truth = vsensor::truth_at(n);
        EXPECT_TRUE(truth.known && truth.sensor_frame == n);
        EXPECT_EQ(truth.contact, expected[n].contact) << n;
        EXPECT_EQ(truth.touch, expected[n].touch) << n;
        EXPECT_EQ(truth.phase, expected[n].phase) << n;
        const std::vector<unsigned char> frame = client.next_frame();
        unsigned char datagram[64];
        timeval limit{10, 0};
        ::setsockopt(receiver, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        std::uint64_t hash = 0;
        recording::Truth sent;
        ASSERT_TRUE(recording::decode_truth_datagram(datagram, ::recv(receiver, datagram, sizeof datagram, 0),
                                                     hash, sent));
        EXPECT_EQ(hash, recording::frame_hash(frame.data(), frame.size())) << n;
        EXPECT_EQ(sent, truth) << n;
        unsigned char last[recording::truth_bytes];
        EXPECT_EQ(vsensor_last_truth(last), n + 1);
        EXPECT_EQ(recording::decode_truth(last), truth);
    }
    ::close(receiver);
    const vsensor::Counters counted = vsensor::counters();
    EXPECT_EQ(counted.contact_frames_dequeued, 6u);
    EXPECT_EQ(counted.touches_dequeued, 4u);
    std::vector<std::uint32_t> traced;
    for (const vsensor::TraceEntry& entry : vsensor::trace()) {
        if (entry.call == vsensor::Call::dqbuf) {
            traced.push_back(entry.truth.touch);
        }
    }
    EXPECT_EQ(traced, (std::vector<std::uint32_t>{0, 1, 1, 7, 2, 2, 0, 3}));
}

// Three buffers are filled at once; the stall begins when the fourth frame is made.
TEST(VsensorFault, FaultAndStallComeWhereTheyWereSet) {
    configure(0.0, "");
    vsensor::add_fault({vsensor::Call::dqbuf, ENODEV, 2, 1});
    vsensor::add_stall(4, 1500ms);
    Client client;
    ASSERT_TRUE(client.start());
    EXPECT_FALSE(client.next_frame().empty());
    EXPECT_FALSE(client.next_frame().empty());
    EXPECT_TRUE(client.next_frame().empty());
    EXPECT_EQ(client.error, ENODEV);
    EXPECT_FALSE(client.next_frame().empty());
    EXPECT_FALSE(client.next_frame().empty());
    EXPECT_TRUE(client.next_frame(300ms).empty());
    EXPECT_FALSE(client.next_frame().empty());
}

std::string read_all(FILE* file) {
    std::string text(64, '\0');
    text.resize(file != nullptr ? std::fread(text.data(), 1, text.size(), file) : 0);
    if (file != nullptr) {
        std::fclose(file);
    }
    return text;
}

// The node stats as a V4L2 character device by path and by descriptor; its sysfs attributes and the
// identification attribute read as a driver publishes them, read-only; nothing else is there.
TEST(VsensorNode, StatsAsACharacterDeviceWithItsSysfsAttributes) {
    vsensor::Config config;
    config.device_path = device;
    config.sensor_model = "GC032A";
    config.model_attribute_path = "/sys/bus/i2c/devices/2-0021/fingerprint_reader";
    vsensor::configure(config);
    struct stat by_path {};
    struct stat by_link {};
    struct statx by_statx {};
    ASSERT_EQ(::stat(device, &by_path), 0);
    ASSERT_EQ(::lstat(device, &by_link), 0);
    ASSERT_EQ(::statx(AT_FDCWD, device, 0, STATX_BASIC_STATS, &by_statx), 0);
    EXPECT_TRUE(S_ISCHR(by_path.st_mode));
    EXPECT_EQ(by_path.st_rdev, makedev(81, 200));
    EXPECT_EQ(by_link.st_rdev, makedev(81, 200));
    EXPECT_EQ(by_statx.stx_rdev_major * 1000 + by_statx.stx_rdev_minor, 81200u);
    Client client;
    struct stat by_fd {};
    ASSERT_EQ(::fstat(client.fd(), &by_fd), 0);
    EXPECT_EQ(by_fd.st_rdev, by_path.st_rdev);
    EXPECT_EQ(by_fd.st_ino, by_path.st_ino);

    EXPECT_EQ(read_all(std::fopen("/sys/dev/char/81:200/uevent", "r")),
              "MAJOR=81\nMINOR=200\nDEVNAME=video200\n");
    EXPECT_EQ(read_all(std::fopen("/sys/class/video4linux/video200/name", "re")),
              "Virtual fingerprint sensor\n");
    const int model = ::open(config.model_attribute_path.c_str(), O_RDONLY | O_NONBLOCK);
    char name[20] = {};
    EXPECT_EQ(::read(model, name, sizeof name), 6);
    EXPECT_STREQ(name, "GC032A");
    ::close(model);
    EXPECT_EQ(::open("/sys/dev/char/81:200/device", O_RDONLY), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(::open(config.model_attribute_path.c_str(), O_WRONLY), -1);
    EXPECT_EQ(errno, EACCES);
}

// A copy of the descriptor shares its open: its buffers, its flags and the readiness that poll and epoll
// see; the stream ends with the last copy. A second open may query but not take the buffers; no read().
TEST(VsensorNode, CopiesShareTheOpenAndWaitingWorks) {
    configure(0.0, "");
    Client client;
    ASSERT_TRUE(client.start());
    const int copy = ::dup(client.fd());
    EXPECT_NE(::fcntl(copy, F_GETFL) & O_NONBLOCK, 0);
    pollfd ready{copy, POLLIN, 0};
    EXPECT_EQ(::poll(&ready, 1, 10000), 1);
    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event event{EPOLLIN, {}};
    ASSERT_EQ(::epoll_ctl(epoll, EPOLL_CTL_ADD, copy, &event), 0);
    EXPECT_EQ(::epoll_wait(epoll, &event, 1, 10000), 1);
    ::close(epoll);
    char byte = 0;
    EXPECT_EQ(::read(copy, &byte, 1), -1);
    EXPECT_EQ(errno, EINVAL);
    {
        Client other;
        v4l2_requestbuffers buffers{3, V4L2_BUF_TYPE_VIDEO_CAPTURE, V4L2_MEMORY_MMAP, 0, 0, {}};
        EXPECT_FALSE(other.request(VIDIOC_REQBUFS, &buffers));
        EXPECT_EQ(other.error, EBUSY);
    }
    ::close(client.fd());  // the client's own teardown then finds it closed
    v4l2_buffer buffer = capture_buffer(0);
    EXPECT_EQ(::ioctl(copy, VIDIOC_DQBUF, &buffer), 0);
    EXPECT_TRUE(vsensor::counters().streaming);
    ::close(copy);
    EXPECT_FALSE(vsensor::counters().streaming);
    EXPECT_EQ(vsensor::counters().open_descriptors, 0);
}

// S_FMT keeps the format the sensor delivers and adjusts any other request to it, never
// refusing; the trace shows the open flags and the pixel format asked for.
struct FormatCase {
    const char* name;
    std::uint32_t width, height, fourcc;  // asked for
    const char* sensor;                   // a scenario line configuring the sensor's own format
    std::uint32_t answered_width, answered_height, answered_fourcc;
};

void PrintTo(const FormatCase& c, std::ostream* out) {
    *out << c.name;
}

class VsensorSetFormat : public testing::TestWithParam<FormatCase> {};

TEST_P(VsensorSetFormat, AnswersWithTheSensorsFormat) {
    const FormatCase& c = GetParam();
    configure(30.0, c.sensor);
    Client client;
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = c.width;
    format.fmt.pix.height = c.height;
    format.fmt.pix.pixelformat = c.fourcc;
    ASSERT_TRUE(client.request(VIDIOC_S_FMT, &format)) << std::strerror(client.error);
    EXPECT_EQ(format.fmt.pix.width, c.answered_width);
    EXPECT_EQ(format.fmt.pix.height, c.answered_height);
    EXPECT_EQ(format.fmt.pix.pixelformat, c.answered_fourcc);
    EXPECT_EQ(format.fmt.pix.sizeimage, c.answered_width * c.answered_height * 2);
    const std::vector<vsensor::TraceEntry> trace = vsensor::trace();
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_EQ(trace[0].arg, O_RDWR | O_NONBLOCK);  // open
    EXPECT_EQ(trace[1].arg, c.fourcc);             // S_FMT
}

constexpr std::uint32_t uyvy = V4L2_PIX_FMT_UYVY;
constexpr std::uint32_t yuyv = V4L2_PIX_FMT_YUYV;

INSTANTIATE_TEST_SUITE_P(Requests, VsensorSetFormat,
                         testing::Values(FormatCase{"Supported", 640, 480, uyvy, "", 640, 480, uyvy},
                                         FormatCase{"OtherPixelFormat", 640, 480, yuyv, "", 640, 480, uyvy},
                                         FormatCase{"OtherSize", 320, 240, uyvy, "", 640, 480, uyvy},
                                         FormatCase{"SensorOfAnotherFormat", 640, 480, uyvy,
                                                    "format 320x240 YUYV\n", 320, 240, yuyv}),
                         [](const testing::TestParamInfo<FormatCase>& row) {
                             return std::string(row.param.name);
                         });

}  // namespace
