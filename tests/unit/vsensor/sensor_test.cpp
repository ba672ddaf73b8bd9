// The virtual sensor where the module's tests rely on it: a client dequeues the frames that
// frame_at names (a replayed recording's included), a fault and a stall come where they were set,
// S_FMT is answered as a capture driver does and traced with what was asked, and the counters
// go back to zero after teardown.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <unistd.h>

#include <linux/videodev2.h>

#include <cerrno>
#include <chrono>
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
