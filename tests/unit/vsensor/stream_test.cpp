// The virtual sensor as a V4L2 client sees it: the start/stream/stop sequence, the errors a
// driver gives, the trace and the counters after teardown.
#include <algorithm>
#include <chrono>
#include <functional>
#include <stdexcept>

#include <gtest/gtest.h>

#include "v4l2_client.h"
#include "vsensor/vsensor.h"

namespace {

using namespace std::chrono_literals;
using vsensor_test::Client;
using vsensor_test::Outcome;

constexpr const char* device_path = "/dev/video-vsensor-test";

vsensor::Config test_config(double fps = 200.0, const std::string& scenario = "") {
    vsensor::Config config;
    config.device_path = device_path;
    config.fps = fps;
    config.scenario = scenario;
    return config;
}

std::vector<vsensor::Call> calls_of(const std::vector<vsensor::TraceEntry>& entries) {
    std::vector<vsensor::Call> calls;
    for (const auto& entry : entries) {
        calls.push_back(entry.call);
    }
    return calls;
}

TEST(VsensorStream, DeliversTheScriptedFramesInOrder) {
    vsensor::configure(test_config(100.0, "glass 3f\nfinger 3f\nglass 2f\n"));
    Client client(device_path);
    ASSERT_TRUE(client.start()) << client.last.error;
    const auto started = std::chrono::steady_clock::now();
    for (std::uint32_t n = 0; n < 8; ++n) {
        const auto frame = client.next_frame();
        ASSERT_TRUE(frame.has_value()) << "frame " << n;
        EXPECT_EQ(frame->buffer.sequence, n);
        EXPECT_EQ(frame->buffer.bytesused, 614400u);
        EXPECT_EQ(frame->buffer.type, static_cast<std::uint32_t>(V4L2_BUF_TYPE_VIDEO_CAPTURE));
        EXPECT_EQ(frame->buffer.memory, static_cast<std::uint32_t>(V4L2_MEMORY_MMAP));
        EXPECT_LT(frame->buffer.index, 3u);
        EXPECT_TRUE(frame->bytes == vsensor::frame_at(n)) << "frame " << n << " is not the scripted one";
    }
    // Eight frames at 100 fps span seven periods (70 ms); only a lower bound is safe to assert.
    EXPECT_GE(std::chrono::steady_clock::now() - started, 35ms);
    client.stop();
    const auto counters = vsensor::counters();
    EXPECT_EQ(counters.frames_dequeued, 8u);
    EXPECT_GE(counters.frames_produced, 8u);
}

TEST(VsensorStream, FrameRateZeroDeliversAsFastAsConsumed) {
    vsensor::configure(test_config(0.0));
    Client client(device_path);
    ASSERT_TRUE(client.start());
    for (std::uint32_t n = 0; n < 30; ++n) {
        const auto frame = client.next_frame();
        ASSERT_TRUE(frame.has_value()) << "frame " << n;
        EXPECT_EQ(frame->buffer.sequence, n);
    }
    EXPECT_TRUE(vsensor::wait_frames_dequeued(30, 1s));
}

TEST(VsensorStream, TeardownLeavesNothingOpenOrMapped) {
    vsensor::configure(test_config());
    {
        Client client(device_path);
        ASSERT_TRUE(client.start());
        ASSERT_TRUE(client.next_frame().has_value());
        const auto running = vsensor::counters();
        EXPECT_EQ(running.open_descriptors, 1);
        EXPECT_EQ(running.live_mappings, 3);
        EXPECT_TRUE(running.streaming);
        EXPECT_EQ(running.opens, 1u);
    }
    const auto after = vsensor::counters();
    EXPECT_EQ(after.open_descriptors, 0);
    EXPECT_EQ(after.live_mappings, 0);
    EXPECT_FALSE(after.streaming);
}

TEST(VsensorStream, TraceRecordsTheWholeSequence) {
    vsensor::configure(test_config());
    Client client(device_path);
    ASSERT_TRUE(client.start());
    ASSERT_TRUE(client.next_frame().has_value());
    client.stop();
    using C = vsensor::Call;
    const std::vector<C> expected = {
        C::open,      C::querycap, C::s_fmt,  C::reqbufs, C::querybuf, C::mmap,     C::querybuf, C::mmap,
        C::querybuf,  C::mmap,     C::qbuf,   C::qbuf,    C::qbuf,     C::streamon, C::dqbuf,    C::qbuf,
        C::streamoff, C::munmap,   C::munmap, C::munmap,  C::reqbufs,  C::close};
    const auto entries = vsensor::trace();
    EXPECT_EQ(calls_of(entries), expected);
    ASSERT_EQ(entries.size(), expected.size());
    const int fd = entries[0].fd;
    EXPECT_GE(fd, 0);
    EXPECT_EQ(entries[0].result, fd);
    EXPECT_EQ(entries[0].arg, O_RDWR | O_NONBLOCK);  // open flags
    EXPECT_EQ(entries[3].arg, 3);                    // REQBUFS count
    EXPECT_EQ(entries[4].arg, 0);                    // QUERYBUF index
    EXPECT_EQ(entries[5].arg, 614400);               // mmap length
    EXPECT_EQ(entries[8].arg, 2);
    EXPECT_EQ(entries[3].request, static_cast<unsigned long>(VIDIOC_REQBUFS));
    EXPECT_EQ(entries[14].request, static_cast<unsigned long>(VIDIOC_DQBUF));
    EXPECT_EQ(entries[15].arg, entries[14].arg);  // the dequeued buffer went back
    EXPECT_EQ(entries[20].arg, 0);                // REQBUFS 0 releases
    for (const auto& entry : entries) {
        EXPECT_GE(entry.result, 0) << vsensor::call_name(entry.call);
        EXPECT_EQ(entry.error, 0) << vsensor::call_name(entry.call);
    }
    EXPECT_EQ(entries.back().fd, fd);
    EXPECT_TRUE(std::is_sorted(entries.begin(), entries.end(),
                               [](const auto& a, const auto& b) { return a.when < b.when; }));
}

TEST(VsensorStream, DescriptorIsReadableExactlyWhileAFilledBufferWaits) {
    vsensor::configure(test_config(0.0));
    Client client(device_path);
    ASSERT_TRUE(client.open_device());
    ASSERT_TRUE(client.map_buffers(3));
    ASSERT_TRUE(client.queue(0));
    EXPECT_EQ(client.wait_readable(0ms), 0);  // not streaming: nothing is filled
    ASSERT_TRUE(client.stream_on());
    ASSERT_EQ(client.wait_readable(5000ms), 1);
    v4l2_buffer buffer;
    ASSERT_EQ(client.dequeue(buffer).result, 0);
    EXPECT_EQ(buffer.index, 0u);
    // The only queued buffer was taken: nothing more can be filled.
    EXPECT_EQ(client.wait_readable(50ms), 0);
    EXPECT_EQ(client.dequeue(buffer).error, EAGAIN);
}

TEST(VsensorStream, ConfigureWhileOpenIsRefused) {
    vsensor::configure(test_config());
    Client client(device_path);
    ASSERT_TRUE(client.open_device());
    EXPECT_THROW(vsensor::configure(test_config()), std::logic_error);
    client.stop();
    EXPECT_NO_THROW(vsensor::configure(test_config()));
}

TEST(VsensorStream, MappingsOutliveClose) {
    vsensor::configure(test_config(0.0));
    Client client(device_path);
    ASSERT_TRUE(client.start());
    const auto frame = client.next_frame();
    ASSERT_TRUE(frame.has_value());
    // Close without unmapping: a driver leaves the mappings valid until munmap.
    ASSERT_EQ(::close(client.fd), 0);
    client.fd = -1;
    EXPECT_EQ(vsensor::counters().open_descriptors, 0);
    EXPECT_EQ(vsensor::counters().live_mappings, 3);
    const auto* bytes = static_cast<const unsigned char*>(client.maps[frame->buffer.index].start);
    EXPECT_EQ(bytes[1], 128);  // still readable
    client.stop();
    EXPECT_EQ(vsensor::counters().live_mappings, 0);
}

TEST(VsensorStream, OtherPathsAndDescriptorsGoToLibc) {
    vsensor::configure(test_config());
    const Outcome missing =
        vsensor_test::attempt([] { return ::open("/dev/video-vsensor-test-not", O_RDWR); });
    EXPECT_EQ(missing.result, -1);
    EXPECT_EQ(missing.error, ENOENT);
    const int null = ::open("/dev/null", O_RDWR);
    ASSERT_GE(null, 0);
    EXPECT_EQ(vsensor::counters().opens, 0u);
    EXPECT_EQ(::close(null), 0);
    for (const auto& entry : vsensor::trace()) {
        EXPECT_NE(entry.call, vsensor::Call::open);
    }
}

TEST(VsensorStream, BlockingDescriptorWaitsForAFrame) {
    vsensor::configure(test_config(50.0));
    Client client(device_path);
    ASSERT_TRUE(client.open_device(O_RDWR));
    ASSERT_TRUE(client.map_buffers(3));
    ASSERT_TRUE(client.queue(0));
    ASSERT_TRUE(client.stream_on());
    v4l2_buffer buffer;
    ASSERT_EQ(client.dequeue(buffer).result, 0);  // no select: the request itself waits
    EXPECT_EQ(buffer.index, 0u);
    EXPECT_EQ(buffer.sequence, 0u);
}

TEST(VsensorStream, NewScenarioTakesEffectWhileStreaming) {
    vsensor::configure(test_config(0.0, "glass\n"));
    Client client(device_path);
    ASSERT_TRUE(client.start());
    auto frame = client.next_frame();
    ASSERT_TRUE(frame.has_value());
    EXPECT_TRUE(frame->bytes == vsensor::frame_at(frame->buffer.sequence));
    vsensor::set_scenario("finger\n");
    // The three buffers may all have been filled (or be filling) before the change and still
    // hold glass; the fourth frame after it is the finger's.
    for (int i = 0; i < 4; ++i) {
        frame = client.next_frame();
        ASSERT_TRUE(frame.has_value());
    }
    EXPECT_TRUE(frame->bytes == vsensor::frame_at(frame->buffer.sequence));
    EXPECT_LT(frame->bytes[2 * (320 + 640 * 240)], 200);  // not the glass level any more
}

// ---- Requests a driver refuses.

struct Refusal {
    const char* name;
    int error;
    // Runs the request on a client that is open, formatted, has 3 buffers mapped, buffer 0
    // queued, and is not streaming.
    std::function<Outcome(Client&)> act;
};

void PrintTo(const Refusal& refusal, std::ostream* out) {
    *out << refusal.name;
}

class VsensorRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(VsensorRefusal, FailsWithTheDriversError) {
    vsensor::configure(test_config());
    Client client(device_path);
    v4l2_capability cap;
    v4l2_format format;
    ASSERT_TRUE(client.open_device());
    ASSERT_TRUE(client.query_capabilities(cap));
    ASSERT_TRUE(client.set_format(format));
    ASSERT_TRUE(client.map_buffers(3));
    ASSERT_TRUE(client.queue(0));
    const Outcome outcome = GetParam().act(client);
    EXPECT_EQ(outcome.result, -1);
    EXPECT_EQ(outcome.error, GetParam().error) << std::strerror(outcome.error);
}

Outcome buffer_request(Client& client, unsigned long number, std::uint32_t index, std::uint32_t type,
                       std::uint32_t memory = V4L2_MEMORY_MMAP) {
    v4l2_buffer buffer = vsensor_test::capture_buffer(index);
    buffer.type = type;
    buffer.memory = memory;
    return vsensor_test::request(client.fd, number, &buffer);
}

constexpr std::uint32_t capture = V4L2_BUF_TYPE_VIDEO_CAPTURE;
constexpr std::uint32_t output = V4L2_BUF_TYPE_VIDEO_OUTPUT;

INSTANTIATE_TEST_SUITE_P(
    Requests, VsensorRefusal,
    ::testing::Values(Refusal{"querycap_on_minus_one", EBADF,
                              [](Client&) {
                                  v4l2_capability cap;
                                  return vsensor_test::request(-1, VIDIOC_QUERYCAP, &cap);
                              }},
                      Refusal{"streamoff_on_minus_one", EBADF,
                              [](Client&) {
                                  int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
                                  return vsensor_test::request(-1, VIDIOC_STREAMOFF, &type);
                              }},
                      Refusal{"qbuf_on_closed_descriptor", EBADF,
                              [](Client& client) {
                                  const int fd = ::open(device_path, O_RDWR | O_NONBLOCK);
                                  ::close(fd);
                                  v4l2_buffer buffer = vsensor_test::capture_buffer(0);
                                  (void)client;
                                  return vsensor_test::request(fd, VIDIOC_QBUF, &buffer);
                              }},
                      Refusal{"qbuf_wrong_type", EINVAL,
                              [](Client& c) { return buffer_request(c, VIDIOC_QBUF, 1, output); }},
                      Refusal{"qbuf_wrong_memory", EINVAL,
                              [](Client& c) {
                                  return buffer_request(c, VIDIOC_QBUF, 1, capture, V4L2_MEMORY_USERPTR);
                              }},
                      Refusal{"qbuf_index_out_of_range", EINVAL,
                              [](Client& c) { return buffer_request(c, VIDIOC_QBUF, 3, capture); }},
                      Refusal{"qbuf_already_queued", EINVAL,
                              [](Client& c) { return buffer_request(c, VIDIOC_QBUF, 0, capture); }},
                      Refusal{"querybuf_index_out_of_range", EINVAL,
                              [](Client& c) { return buffer_request(c, VIDIOC_QUERYBUF, 3, capture); }},
                      Refusal{"querybuf_wrong_type", EINVAL,
                              [](Client& c) { return buffer_request(c, VIDIOC_QUERYBUF, 0, output); }},
                      Refusal{"dqbuf_not_streaming", EINVAL,
                              [](Client& c) { return buffer_request(c, VIDIOC_DQBUF, 0, capture); }},
                      Refusal{"dqbuf_wrong_type", EINVAL,
                              [](Client& c) { return buffer_request(c, VIDIOC_DQBUF, 0, output); }},
                      Refusal{"streamon_wrong_type", EINVAL,
                              [](Client& c) {
                                  int type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
                                  return vsensor_test::request(c.fd, VIDIOC_STREAMON, &type);
                              }},
                      Refusal{"s_fmt_wrong_type", EINVAL,
                              [](Client& c) {
                                  v4l2_format format;
                                  std::memset(&format, 0, sizeof format);
                                  format.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
                                  return vsensor_test::request(c.fd, VIDIOC_S_FMT, &format);
                              }},
                      Refusal{"reqbufs_wrong_memory", EINVAL,
                              [](Client& c) {
                                  v4l2_requestbuffers request = vsensor_test::buffer_request(3);
                                  request.memory = V4L2_MEMORY_USERPTR;
                                  return vsensor_test::request(c.fd, VIDIOC_REQBUFS, &request);
                              }},
                      Refusal{"reqbufs_while_streaming", EBUSY,
                              [](Client& c) {
                                  c.stream_on();
                                  v4l2_requestbuffers request = vsensor_test::buffer_request(0);
                                  return vsensor_test::request(c.fd, VIDIOC_REQBUFS, &request);
                              }},
                      Refusal{"reqbufs_from_another_descriptor", EBUSY,
                              [](Client&) {
                                  Client other(device_path);
                                  other.open_device();
                                  v4l2_requestbuffers request = vsensor_test::buffer_request(3);
                                  return vsensor_test::request(other.fd, VIDIOC_REQBUFS, &request);
                              }},
                      Refusal{"unknown_request", ENOTTY,
                              [](Client& c) {
                                  v4l2_input input;
                                  std::memset(&input, 0, sizeof input);
                                  return vsensor_test::request(c.fd, VIDIOC_ENUMINPUT, &input);
                              }},
                      Refusal{"mmap_offset_of_no_buffer", EINVAL,
                              [](Client& c) {
                                  return vsensor_test::attempt([&] {
                                      void* start = ::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, c.fd, 4096);
                                      return start == MAP_FAILED ? -1L : (::munmap(start, 4096), 0L);
                                  });
                              }},
                      Refusal{"mmap_private", EINVAL,
                              [](Client& c) {
                                  return vsensor_test::attempt([&] {
                                      void* start = ::mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE, c.fd, 0);
                                      return start == MAP_FAILED ? -1L : (::munmap(start, 4096), 0L);
                                  });
                              }}),
    [](const ::testing::TestParamInfo<Refusal>& param_info) { return std::string(param_info.param.name); });

TEST(VsensorStream, ForeignV4l2RequestsAreTraced) {
    vsensor::configure(test_config());
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    EXPECT_EQ(vsensor_test::request(-1, VIDIOC_STREAMOFF, &type).error, EBADF);
    const auto entries = vsensor::trace();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].call, vsensor::Call::streamoff);
    EXPECT_EQ(entries[0].fd, -1);
    EXPECT_EQ(entries[0].result, -1);
    EXPECT_EQ(entries[0].error, EBADF);
}

// On a 32-bit target a program may be built with 32-bit or 64-bit time_t; struct v4l2_buffer
// is 68 or 80 bytes and the QUERYBUF/QBUF/DQBUF numbers differ. One driver serves both.
struct Buffer32 {
    std::uint32_t index, type, bytesused, flags, field;
    std::int32_t tv_sec, tv_usec;
    v4l2_timecode timecode;
    std::uint32_t sequence, memory, offset, length, reserved2, reserved;
};

struct Buffer64 {
    std::uint32_t index, type, bytesused, flags, field;
    alignas(8) std::int64_t tv_sec;
    std::int64_t tv_usec;
    v4l2_timecode timecode;
    std::uint32_t sequence, memory, offset, length, reserved2, reserved;
};

template <typename Buffer>
Buffer layout_buffer(std::uint32_t index) {
    Buffer buffer;
    std::memset(&buffer, 0, sizeof buffer);
    buffer.index = index;
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    return buffer;
}

TEST(VsensorStream, BothBufferLayoutsOfAThirtyTwoBitTarget) {
    if (sizeof(long) != 4) {
        GTEST_SKIP() << "a 64-bit target has one v4l2_buffer layout";
    }
    static_assert(sizeof(Buffer32) == 68 || sizeof(long) != 4, "32-bit time layout");
    static_assert(sizeof(Buffer64) == 80 || sizeof(long) != 4, "64-bit time layout");
    vsensor::configure(test_config(0.0));
    Client client(device_path);
    ASSERT_TRUE(client.open_device());
    v4l2_requestbuffers request = vsensor_test::buffer_request(3);
    ASSERT_EQ(vsensor_test::request(client.fd, VIDIOC_REQBUFS, &request).result, 0);

    auto query32 = layout_buffer<Buffer32>(1);
    auto query64 = layout_buffer<Buffer64>(2);
    ASSERT_EQ(vsensor_test::request(client.fd, _IOWR('V', 9, Buffer32), &query32).result, 0);
    ASSERT_EQ(vsensor_test::request(client.fd, _IOWR('V', 9, Buffer64), &query64).result, 0);
    EXPECT_EQ(query32.length, 614400u);
    EXPECT_EQ(query64.length, 614400u);
    EXPECT_EQ(query64.offset - query32.offset, query32.offset);  // offsets of buffers 1 and 2

    auto queue32 = layout_buffer<Buffer32>(0);
    auto queue64 = layout_buffer<Buffer64>(1);
    ASSERT_EQ(vsensor_test::request(client.fd, _IOWR('V', 15, Buffer32), &queue32).result, 0);
    ASSERT_EQ(vsensor_test::request(client.fd, _IOWR('V', 15, Buffer64), &queue64).result, 0);
    ASSERT_TRUE(client.stream_on());

    ASSERT_EQ(client.wait_readable(10000ms), 1);
    auto taken32 = layout_buffer<Buffer32>(0);
    ASSERT_EQ(vsensor_test::request(client.fd, _IOWR('V', 17, Buffer32), &taken32).result, 0);
    EXPECT_EQ(taken32.index, 0u);
    EXPECT_EQ(taken32.sequence, 0u);
    EXPECT_EQ(taken32.bytesused, 614400u);
    ASSERT_EQ(client.wait_readable(10000ms), 1);
    auto taken64 = layout_buffer<Buffer64>(0);
    ASSERT_EQ(vsensor_test::request(client.fd, _IOWR('V', 17, Buffer64), &taken64).result, 0);
    EXPECT_EQ(taken64.index, 1u);
    EXPECT_EQ(taken64.sequence, 1u);
    EXPECT_EQ(taken64.bytesused, 614400u);
    // The timestamps land in each layout's own fields: monotonic, in order.
    EXPECT_GE(taken64.tv_sec * 1000000 + taken64.tv_usec,
              std::int64_t{taken32.tv_sec} * 1000000 + taken32.tv_usec);
    EXPECT_EQ(taken64.memory, static_cast<std::uint32_t>(V4L2_MEMORY_MMAP));
}

}  // namespace
