// Faults of the virtual sensor, each seen by a V4L2 client exactly where it was configured.
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "v4l2_client.h"
#include "vsensor/vsensor.h"

namespace {

using namespace std::chrono_literals;
using vsensor::Call;
using vsensor_test::Client;

constexpr const char* device_path = "/dev/video-vsensor-faults";

void configure(double fps = 200.0, const std::string& scenario = "") {
    vsensor::Config config;
    config.device_path = device_path;
    config.fps = fps;
    config.scenario = scenario;
    vsensor::configure(config);
}

// The trace entries of one kind of call, in order.
std::vector<vsensor::TraceEntry> entries_of(Call call) {
    std::vector<vsensor::TraceEntry> found;
    for (const auto& entry : vsensor::trace()) {
        if (entry.call == call) {
            found.push_back(entry);
        }
    }
    return found;
}

// The errno of each traced call of one kind (0 for a success), in order.
std::vector<int> errors_of(Call call) {
    std::vector<int> errors;
    for (const auto& entry : entries_of(call)) {
        errors.push_back(entry.error);
    }
    return errors;
}

TEST(VsensorFault, InterruptedQbufIsRepeatedByTheClient) {
    configure();
    vsensor::add_fault({Call::qbuf, EINTR, 1, 2});
    Client client(device_path);
    ASSERT_TRUE(client.start());
    EXPECT_EQ(client.interruptions, 2);
    EXPECT_EQ(errors_of(Call::qbuf), (std::vector<int>{0, EINTR, EINTR, 0, 0}));
    const auto qbufs = entries_of(Call::qbuf);
    EXPECT_EQ(qbufs[1].arg, 1);  // the interrupted request was for buffer 1, and was repeated
    EXPECT_EQ(qbufs[3].arg, 1);
    EXPECT_TRUE(client.next_frame().has_value());
}

class VsensorInterrupted : public ::testing::TestWithParam<Call> {};

// EINTR on the first request of each kind: a client that repeats requests still streams, and
// the trace shows exactly one interrupted call, the first of its kind.
TEST_P(VsensorInterrupted, FirstRequestOfItsKind) {
    configure();
    vsensor::add_fault({GetParam(), EINTR, 0, 1});
    {
        Client client(device_path);
        ASSERT_TRUE(client.start());
        ASSERT_TRUE(client.next_frame().has_value());
        client.stop();
    }
    const auto errors = errors_of(GetParam());
    ASSERT_GE(errors.size(), 2u);
    EXPECT_EQ(errors[0], EINTR);
    for (std::size_t i = 1; i < errors.size(); ++i) {
        EXPECT_EQ(errors[i], 0) << "call " << i;
    }
    EXPECT_EQ(vsensor::counters().open_descriptors, 0);
    EXPECT_EQ(vsensor::counters().live_mappings, 0);
}

INSTANTIATE_TEST_SUITE_P(Requests, VsensorInterrupted,
                         ::testing::Values(Call::querycap, Call::s_fmt, Call::reqbufs, Call::querybuf,
                                           Call::qbuf, Call::streamon, Call::dqbuf, Call::streamoff),
                         [](const ::testing::TestParamInfo<Call>& param_info) {
                             return std::string(vsensor::call_name(param_info.param));
                         });

TEST(VsensorFault, EagainFromDqbufLeavesTheDescriptorReadable) {
    configure(0.0);
    vsensor::add_fault({Call::dqbuf, EAGAIN, 0, 1});
    Client client(device_path);
    ASSERT_TRUE(client.start());
    ASSERT_EQ(client.wait_readable(5000ms), 1);
    v4l2_buffer buffer;
    EXPECT_EQ(client.dequeue(buffer).error, EAGAIN);
    // The filled buffer is still waiting.
    EXPECT_EQ(client.wait_readable(0ms), 1);
    ASSERT_EQ(client.dequeue(buffer).result, 0);
    EXPECT_EQ(buffer.sequence, 0u);
}

TEST(VsensorFault, EnodevFromTheThirdDqbuf) {
    configure(0.0, "fault dqbuf ENODEV skip=2 count=1\n");
    Client client(device_path);
    ASSERT_TRUE(client.start());
    ASSERT_TRUE(client.next_frame().has_value());
    ASSERT_TRUE(client.next_frame().has_value());
    EXPECT_FALSE(client.next_frame().has_value());
    EXPECT_EQ(client.last.error, ENODEV);
    EXPECT_EQ(errors_of(Call::dqbuf), (std::vector<int>{0, 0, ENODEV}));
    // count=1: the next request works again.
    EXPECT_TRUE(client.next_frame().has_value());
}

TEST(VsensorFault, CountAllFailsEveryLaterCall) {
    configure(0.0, "fault dqbuf EIO skip=1 count=all\n");
    Client client(device_path);
    ASSERT_TRUE(client.start());
    ASSERT_TRUE(client.next_frame().has_value());
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(client.next_frame().has_value());
        EXPECT_EQ(client.last.error, EIO);
    }
}

TEST(VsensorFault, StallIsSeenAsSelectTimeouts) {
    configure(100.0);
    vsensor::add_stall(2, 1500ms);
    Client client(device_path);
    ASSERT_TRUE(client.start());
    ASSERT_TRUE(client.next_frame().has_value());
    ASSERT_TRUE(client.next_frame().has_value());
    int timeouts = 0;
    while (client.wait_readable(100ms) == 0 && timeouts < 50) {
        ++timeouts;
    }
    EXPECT_GE(timeouts, 2);
    EXPECT_LT(timeouts, 50) << "frames never came back after the stall";
    const auto frame = client.next_frame();
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->buffer.sequence, 2u);
}

TEST(VsensorFault, StallFromAScenarioLine) {
    configure(0.0, "stall after=1 ms=1500\n");
    Client client(device_path);
    ASSERT_TRUE(client.start());
    ASSERT_TRUE(client.next_frame().has_value());
    EXPECT_EQ(client.wait_readable(150ms), 0);
    EXPECT_TRUE(client.next_frame().has_value());
}

struct Granted {
    unsigned configured;
    std::uint32_t expected;
};

class VsensorGranted : public ::testing::TestWithParam<Granted> {};

TEST_P(VsensorGranted, RequestForThreeGetsTheConfiguredCount) {
    vsensor::Config config;
    config.device_path = device_path;
    config.granted_buffers = GetParam().configured;
    vsensor::configure(config);
    {
        Client client(device_path);
        ASSERT_TRUE(client.open_device());
        ASSERT_TRUE(client.map_buffers(3));
        EXPECT_EQ(client.granted, GetParam().expected);
        EXPECT_EQ(vsensor::counters().live_mappings, static_cast<int>(GetParam().expected));
    }
    EXPECT_EQ(vsensor::counters().live_mappings, 0);
    EXPECT_EQ(vsensor::counters().open_descriptors, 0);
}

INSTANTIATE_TEST_SUITE_P(Counts, VsensorGranted,
                         ::testing::Values(Granted{0, 3}, Granted{2, 2}, Granted{4, 4}, Granted{1, 1}),
                         [](const ::testing::TestParamInfo<Granted>& param_info) {
                             return "granted_" + std::to_string(param_info.param.expected);
                         });

TEST(VsensorFault, MissingStreamingCapability) {
    configure(30.0, "caps capture\n");
    Client client(device_path);
    ASSERT_TRUE(client.open_device());
    v4l2_capability cap;
    ASSERT_TRUE(client.query_capabilities(cap));
    EXPECT_NE(cap.capabilities & V4L2_CAP_VIDEO_CAPTURE, 0u);
    EXPECT_EQ(cap.capabilities & V4L2_CAP_STREAMING, 0u);
}

TEST(VsensorFault, DefaultCapabilitiesAreCaptureAndStreaming) {
    configure();
    Client client(device_path);
    ASSERT_TRUE(client.open_device());
    v4l2_capability cap;
    ASSERT_TRUE(client.query_capabilities(cap));
    EXPECT_EQ(cap.capabilities & (V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING),
              static_cast<std::uint32_t>(V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING));
}

class VsensorFailingOpen : public ::testing::TestWithParam<int> {};

TEST_P(VsensorFailingOpen, FirstTwoOpensFail) {
    configure();
    vsensor::add_fault({Call::open, GetParam(), 0, 2});
    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto outcome = vsensor_test::attempt([] { return ::open(device_path, O_RDWR | O_NONBLOCK); });
        EXPECT_EQ(outcome.result, -1);
        EXPECT_EQ(outcome.error, GetParam());
    }
    Client client(device_path);
    EXPECT_TRUE(client.open_device());
    EXPECT_EQ(vsensor::counters().opens, 1u);
    EXPECT_EQ(errors_of(Call::open), (std::vector<int>{GetParam(), GetParam(), 0}));
}

INSTANTIATE_TEST_SUITE_P(Errors, VsensorFailingOpen, ::testing::Values(ENOENT, EBUSY),
                         [](const ::testing::TestParamInfo<int>& param_info) {
                             return std::string(param_info.param == ENOENT ? "ENOENT" : "EBUSY");
                         });

TEST(VsensorFault, SecondDequeueReportsAnIndexAboveTwo) {
    configure(0.0, "bad_index nth=2 index=7\n");
    Client client(device_path);
    ASSERT_TRUE(client.start());
    ASSERT_TRUE(client.next_frame().has_value());
    ASSERT_EQ(client.wait_readable(5000ms), 1);
    v4l2_buffer buffer;
    ASSERT_EQ(client.dequeue(buffer).result, 0);
    EXPECT_EQ(buffer.index, 7u);
    EXPECT_FALSE(client.queue(7));
    EXPECT_EQ(client.last.error, EINVAL);
}

TEST(VsensorFault, BufferShorterThanAFrame) {
    vsensor::Config config;
    config.device_path = device_path;
    config.fps = 0.0;
    config.buffer_length = 4096;
    vsensor::configure(config);
    Client client(device_path);
    ASSERT_TRUE(client.start());
    ASSERT_EQ(client.maps.size(), 3u);
    EXPECT_EQ(client.maps[0].length, 4096u);
    const auto frame = client.next_frame();
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->buffer.bytesused, 4096u);
    const auto expected = vsensor::frame_at(0);
    EXPECT_TRUE(std::equal(frame->bytes.begin(), frame->bytes.end(), expected.begin()));
}

TEST(VsensorFault, DifferentFormatWrittenBack) {
    configure(30.0, "format 320x240 YUYV\n");
    Client client(device_path);
    ASSERT_TRUE(client.open_device());
    v4l2_format format;
    ASSERT_TRUE(client.set_format(format));
    EXPECT_EQ(format.fmt.pix.width, 320u);
    EXPECT_EQ(format.fmt.pix.height, 240u);
    EXPECT_EQ(format.fmt.pix.pixelformat, static_cast<std::uint32_t>(V4L2_PIX_FMT_YUYV));
}

// S_FMT as a capture driver answers it: the supported 640 x 480 UYVY comes back as asked,
// anything else is adjusted to it, never refused; the trace keeps the pixel format asked for.
struct FormatRequest {
    const char* name;
    std::uint32_t width, height, pixelformat, field;
};

class VsensorSetFormat : public ::testing::TestWithParam<FormatRequest> {};

TEST_P(VsensorSetFormat, AnswersWithTheSupportedFormat) {
    configure();
    Client client(device_path);
    ASSERT_TRUE(client.open_device());
    v4l2_format format;
    std::memset(&format, 0, sizeof format);
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = GetParam().width;
    format.fmt.pix.height = GetParam().height;
    format.fmt.pix.pixelformat = GetParam().pixelformat;
    format.fmt.pix.field = GetParam().field;
    ASSERT_EQ(vsensor_test::request(client.fd, VIDIOC_S_FMT, &format).result, 0);
    EXPECT_EQ(format.fmt.pix.width, 640u);
    EXPECT_EQ(format.fmt.pix.height, 480u);
    EXPECT_EQ(format.fmt.pix.pixelformat, static_cast<std::uint32_t>(V4L2_PIX_FMT_UYVY));
    EXPECT_EQ(format.fmt.pix.field, static_cast<std::uint32_t>(V4L2_FIELD_NONE));
    EXPECT_EQ(format.fmt.pix.bytesperline, 1280u);
    EXPECT_EQ(format.fmt.pix.sizeimage, 614400u);
    const auto requests = entries_of(Call::s_fmt);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].arg, GetParam().pixelformat);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, VsensorSetFormat,
    ::testing::Values(FormatRequest{"supported", 640, 480, V4L2_PIX_FMT_UYVY, V4L2_FIELD_ANY},
                      FormatRequest{"other_pixel_format", 640, 480, V4L2_PIX_FMT_YUYV, V4L2_FIELD_NONE},
                      FormatRequest{"other_size", 320, 240, V4L2_PIX_FMT_UYVY, V4L2_FIELD_ANY},
                      FormatRequest{"interlaced", 640, 480, V4L2_PIX_FMT_UYVY, V4L2_FIELD_INTERLACED}),
    [](const ::testing::TestParamInfo<FormatRequest>& param_info) {
        return std::string(param_info.param.name);
    });

TEST(VsensorFault, FailingMmap) {
    configure();
    vsensor::add_fault({Call::mmap, ENOMEM, 1, 1});
    Client client(device_path);
    ASSERT_TRUE(client.open_device());
    EXPECT_FALSE(client.map_buffers(3));
    EXPECT_EQ(client.last.error, ENOMEM);
    EXPECT_EQ(client.maps.size(), 1u);
    client.stop();
    EXPECT_EQ(vsensor::counters().live_mappings, 0);
}

TEST(VsensorFault, InterruptedCloseLeavesTheDescriptorOpen) {
    configure();
    vsensor::add_fault({Call::close, EINTR, 0, 1});
    Client client(device_path);
    ASSERT_TRUE(client.start());
    client.stop();  // repeats the close
    EXPECT_EQ(errors_of(Call::close), (std::vector<int>{EINTR, 0}));
    EXPECT_EQ(vsensor::counters().open_descriptors, 0);
}

TEST(VsensorFault, ClearFaultsForgetsThem) {
    configure();
    vsensor::add_fault({Call::open, ENOENT, 0, -1});
    vsensor::clear_faults();
    Client client(device_path);
    EXPECT_TRUE(client.open_device());
}

// A camera restart, as a capture program does it when frames stop: teardown and a new start.
TEST(VsensorFault, RestartAfterAStallResumesTheTimeline) {
    configure(0.0, "glass 2f\nfinger 100f\n");
    vsensor::add_stall(2, 1500ms);
    Client first(device_path);
    ASSERT_TRUE(first.start());
    ASSERT_TRUE(first.next_frame().has_value());
    ASSERT_TRUE(first.next_frame().has_value());
    EXPECT_EQ(first.wait_readable(50ms), 0);
    first.stop();
    EXPECT_FALSE(vsensor::counters().streaming);

    Client second(device_path);
    ASSERT_TRUE(second.start());
    const auto frame = second.next_frame();
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->buffer.sequence, 0u);              // a new stream counts from 0
    EXPECT_TRUE(frame->bytes == vsensor::frame_at(2));  // the timeline goes on
    second.stop();
    EXPECT_EQ(vsensor::counters().opens, 2u);
    EXPECT_EQ(vsensor::counters().open_descriptors, 0);
    EXPECT_EQ(vsensor::counters().live_mappings, 0);
}

}  // namespace
