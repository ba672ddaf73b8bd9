// Tests of the V4L2 capture device: start, refusals, teardown records and released resources.
#include <sys/mman.h>

#include <cerrno>
#include <set>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bio_module.h"
#include "bio_test/legacy_support.h"
#include "ovra/ovra_exception.h"

namespace {

using vsensor::Call;

const std::vector<std::string> teardown_with_table = {
    "Stopping Capture...", "Capture stopped",    "Exiting mmap",
    "mmap Exited",         "Freeing buffers...", "Closing camera...",
};
const std::vector<std::string> teardown_open_no_table = {
    "Stopping Capture...", "Capture stopped", "Exiting mmap", "mmap Exited", "Closing camera...",
};
const std::vector<std::string> teardown_closed = {
    "Stopping Capture...", "VIDIOC_STREAMOFF failed: Bad file descriptor", "Capture stopped",
    "Exiting mmap",        "VIDIOC_REQBUFS failed: Bad file descriptor",   "mmap Exited",
    "Closing camera...",
};

// Configuration that init would have loaded for a GC032A on the virtual sensor.
void load_configuration(const bio_test::ModuleEnv& env) {
    device_path = env.device_path();
    fp_reader_path = env.sensor_file();
    last_fp_reader = "GC032A";
    var_min = 300;
}

std::string init_failure() {
    try {
        init_module();
    } catch (const ovra::ovra_exception& e) {
        EXPECT_TRUE(e.flag());
        return e.what();
    }
    return "(no exception)";
}

std::vector<vsensor::TraceEntry> calls_of(Call call) {
    std::vector<vsensor::TraceEntry> result;
    for (const auto& entry : vsensor::trace()) {
        if (entry.call == call) {
            result.push_back(entry);
        }
    }
    return result;
}

class DeviceTest : public ::testing::Test {
protected:
    void TearDown() override { exit_module(); }
};

// ---------------------------------------------------------------- a full start

TEST_F(DeviceTest, StartLeavesThreeQueuedBuffersStreaming) {
    bio_test::ModuleEnv env;
    load_configuration(env);

    ASSERT_NO_THROW(init_module());

    EXPECT_GE(camera_fd, 0);
    ASSERT_NE(buffers, nullptr);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(buffers[i].length, 614400U);
        EXPECT_NE(buffers[i].start, nullptr);
        EXPECT_NE(buffers[i].start, MAP_FAILED);
    }
    const vsensor::Counters counters = vsensor::counters();
    EXPECT_TRUE(counters.streaming);
    EXPECT_EQ(counters.open_descriptors, 1);
    EXPECT_EQ(counters.live_mappings, 3);

    std::vector<std::string> functions;
    for (const auto& record : env.log.records()) {
        functions.push_back(record.function + ": " + record.text);
        EXPECT_EQ(record.file, "bio_module/src/source/bio_module");
    }
    EXPECT_EQ(functions,
              (std::vector<std::string>{"init_module: Initializing module", "init_module: Sysfs info: GC032A",
                                        "init_camera: Initializing Camera", "init_mmap: Initializing mmap",
                                        "start_capturing: Initializing Capture"}));
    const auto requests = calls_of(Call::reqbufs);
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_EQ(requests[0].arg, 3);
}

TEST_F(DeviceTest, TeardownAfterAFullStartReleasesEverything) {
    bio_test::ModuleEnv env;
    load_configuration(env);
    ASSERT_NO_THROW(init_module());
    env.log.clear();

    exit_module();

    EXPECT_EQ(env.log.texts(), teardown_with_table);
    EXPECT_EQ(camera_fd, -1);
    EXPECT_EQ(buffers, nullptr);
    const vsensor::Counters counters = vsensor::counters();
    EXPECT_EQ(counters.open_descriptors, 0);
    EXPECT_EQ(counters.live_mappings, 0);
    EXPECT_FALSE(counters.streaming);
    std::vector<std::string> functions;
    for (const auto& record : env.log.records()) {
        functions.push_back(record.function);
    }
    EXPECT_EQ(functions, (std::vector<std::string>{"stop_capturing", "stop_capturing", "exit_mmap",
                                                   "exit_mmap", "exit_module", "exit_module"}));
}

TEST_F(DeviceTest, TeardownTwiceClosesOnce) {
    bio_test::ModuleEnv env;
    load_configuration(env);
    ASSERT_NO_THROW(init_module());

    exit_module();
    env.log.clear();
    exit_module();

    EXPECT_EQ(calls_of(Call::close).size(), 1U);
    EXPECT_EQ(env.log.texts(), teardown_closed);
    EXPECT_EQ(vsensor::counters().open_descriptors, 0);
}

TEST_F(DeviceTest, TeardownWithoutAnyStart) {
    bio_test::ModuleEnv env;

    exit_module();

    EXPECT_EQ(env.log.texts(), teardown_closed);
    EXPECT_TRUE(calls_of(Call::close).empty());
    EXPECT_EQ(camera_fd, -1);
}

TEST_F(DeviceTest, RestartAfterTeardownStartsAgain) {
    bio_test::ModuleEnv env;
    load_configuration(env);
    ASSERT_NO_THROW(init_module());
    exit_module();

    ASSERT_NO_THROW(init_module());

    EXPECT_EQ(vsensor::counters().opens, 2U);
    EXPECT_EQ(vsensor::counters().live_mappings, 3);
    EXPECT_TRUE(vsensor::counters().streaming);
}

// ---------------------------------------------------------------- buffer counts

TEST_F(DeviceTest, TwoBuffersAreNotEnough) {
    bio_test::ModuleEnv env;
    vsensor::Config config;
    config.device_path = env.device_path();
    config.granted_buffers = 2;
    vsensor::configure(config);
    load_configuration(env);

    EXPECT_EQ(init_failure(), "Not enough buffers (requested: 3, received: 2)");
    EXPECT_EQ(buffers, nullptr);
    EXPECT_TRUE(calls_of(Call::mmap).empty());
}

TEST_F(DeviceTest, FourBuffersAreMappedButOnlyThreeQueued) {
    bio_test::ModuleEnv env;
    vsensor::Config config;
    config.device_path = env.device_path();
    config.granted_buffers = 4;
    vsensor::configure(config);
    load_configuration(env);

    ASSERT_NO_THROW(init_module());

    std::set<std::int64_t> queried;
    for (const auto& entry : calls_of(Call::querybuf)) {
        queried.insert(entry.arg);
    }
    EXPECT_EQ(queried, (std::set<std::int64_t>{0, 1, 2, 3}));
    EXPECT_EQ(calls_of(Call::mmap).size(), 4U);
    std::vector<std::int64_t> queued;
    for (const auto& entry : calls_of(Call::qbuf)) {
        queued.push_back(entry.arg);
    }
    EXPECT_EQ(queued, (std::vector<std::int64_t>{0, 1, 2}));

    exit_module();
    EXPECT_EQ(vsensor::counters().live_mappings, 0);
    EXPECT_EQ(vsensor::counters().open_descriptors, 0);
}

// ---------------------------------------------------------------- refusals

struct FailureCase {
    const char* name;
    Call call;
    int error;
    int skip;
    std::string text;  // "@" stands for the device path
    const std::vector<std::string>* teardown;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class DeviceFailure : public DeviceTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(DeviceFailure, RaisesTheStepTextAndTearsDownCleanly) {
    const FailureCase& c = GetParam();
    bio_test::ModuleEnv env;
    load_configuration(env);
    vsensor::add_fault({c.call, c.error, c.skip, 1});
    std::string expected = c.text;
    if (const auto at = expected.find('@'); at != std::string::npos) {
        expected.replace(at, 1, env.device_path());
    }

    EXPECT_EQ(init_failure(), expected);
    EXPECT_FALSE(vsensor::counters().streaming);

    env.log.clear();
    exit_module();
    EXPECT_EQ(env.log.texts(), *c.teardown);
    const vsensor::Counters counters = vsensor::counters();
    EXPECT_EQ(counters.open_descriptors, 0);
    EXPECT_EQ(counters.live_mappings, 0);
    EXPECT_EQ(camera_fd, -1);
    EXPECT_EQ(buffers, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Device, DeviceFailure,
    ::testing::Values(
        FailureCase{"open", Call::open, ENOENT, 0,
                    "Unable to open camera device (@): No such file or directory", &teardown_closed},
        FailureCase{"open_busy", Call::open, EBUSY, 0,
                    "Unable to open camera device (@): Device or resource busy", &teardown_closed},
        FailureCase{"querycap", Call::querycap, EIO, 0, "Unable to query camera cap: Input/output error",
                    &teardown_open_no_table},
        FailureCase{"s_fmt", Call::s_fmt, EINVAL, 0, "Unable to negotiate format data: Invalid argument",
                    &teardown_open_no_table},
        FailureCase{"reqbufs", Call::reqbufs, ENOMEM, 0, "Unable to obtain buffers: Cannot allocate memory",
                    &teardown_open_no_table},
        FailureCase{"querybuf_second", Call::querybuf, EINVAL, 1, "Unable to query buffers: Invalid argument",
                    &teardown_with_table},
        FailureCase{"mmap_third", Call::mmap, ENOMEM, 2, "Unable to map buffers: Cannot allocate memory",
                    &teardown_with_table},
        FailureCase{"qbuf_second", Call::qbuf, EIO, 1, "Unable to queue buffer: Input/output error",
                    &teardown_with_table},
        FailureCase{"streamon", Call::streamon, EIO, 0, "Unable to start capture: Input/output error",
                    &teardown_with_table}),
    [](const auto& tp) { return std::string(tp.param.name); });

struct CapabilityCase {
    const char* name;
    std::uint32_t capabilities;
    const char* text;
};

void PrintTo(const CapabilityCase& c, std::ostream* os) {
    *os << c.name;
}

class DeviceCapabilities : public DeviceTest, public ::testing::WithParamInterface<CapabilityCase> {};

TEST_P(DeviceCapabilities, CaptureThenStreamingAreRequired) {
    const CapabilityCase& c = GetParam();
    bio_test::ModuleEnv env;
    vsensor::Config config;
    config.device_path = env.device_path();
    config.capabilities = c.capabilities;
    vsensor::configure(config);
    load_configuration(env);

    EXPECT_EQ(init_failure(), c.text);
    EXPECT_TRUE(calls_of(Call::s_fmt).empty());
}

INSTANTIATE_TEST_SUITE_P(Device, DeviceCapabilities,
                         ::testing::Values(CapabilityCase{"none", 0,
                                                          "Camera device does not support video capture"},
                                           CapabilityCase{"streaming_only", 0x04000000u,
                                                          "Camera device does not support video capture"},
                                           CapabilityCase{"capture_only", 0x00000001u,
                                                          "Camera device does not support video streaming"}),
                         [](const auto& tp) { return std::string(tp.param.name); });

struct DriverCase {
    const char* name;
    std::uint32_t width;
    std::uint32_t height;
    std::uint32_t pixelformat;
    std::uint32_t buffer_length;
    const char* text;
};

void PrintTo(const DriverCase& c, std::ostream* os) {
    *os << c.name;
}

class DriverAdjustments : public DeviceTest, public ::testing::WithParamInterface<DriverCase> {};

TEST_P(DriverAdjustments, RefusedBeforeStreaming) {
    const DriverCase& c = GetParam();
    bio_test::ModuleEnv env;
    vsensor::Config config;
    config.device_path = env.device_path();
    config.width = c.width;
    config.height = c.height;
    config.pixelformat = c.pixelformat;
    config.buffer_length = c.buffer_length;
    vsensor::configure(config);
    load_configuration(env);

    EXPECT_EQ(init_failure(), c.text);
    EXPECT_TRUE(calls_of(Call::streamon).empty());
    exit_module();
    EXPECT_EQ(vsensor::counters().live_mappings, 0);
    EXPECT_EQ(vsensor::counters().open_descriptors, 0);
}

constexpr std::uint32_t uyvy = 0x59565955u;
constexpr std::uint32_t yuyv = 0x56595559u;

INSTANTIATE_TEST_SUITE_P(
    Device, DriverAdjustments,
    ::testing::Values(DriverCase{"smaller_frame", 320, 240, yuyv, 614400,
                                 "Camera format not supported: 320x240 fourcc YUYV (need 640x480 UYVY)"},
                      DriverCase{"other_pixel_format", 640, 480, yuyv, 614400,
                                 "Camera format not supported: 640x480 fourcc YUYV (need 640x480 UYVY)"},
                      DriverCase{"taller_frame", 640, 481, uyvy, 614400,
                                 "Camera format not supported: 640x481 fourcc UYVY (need 640x480 UYVY)"},
                      DriverCase{"short_buffer", 640, 480, uyvy, 4096,
                                 "Camera buffer too small: buffer 0 has 4096 bytes (need 614400)"},
                      DriverCase{"one_byte_short", 640, 480, uyvy, 614399,
                                 "Camera buffer too small: buffer 0 has 614399 bytes (need 614400)"}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST_F(DeviceTest, LongerBuffersAreAccepted) {
    bio_test::ModuleEnv env;
    vsensor::Config config;
    config.device_path = env.device_path();
    config.buffer_length = 614400 + 4096;
    vsensor::configure(config);
    load_configuration(env);

    ASSERT_NO_THROW(init_module());
    EXPECT_EQ(buffers[2].length, 614400U + 4096U);
}

// ---------------------------------------------------------------- interrupted requests

class InterruptedRequest : public DeviceTest, public ::testing::WithParamInterface<Call> {};

TEST_P(InterruptedRequest, IsRepeatedAndNotReported) {
    const Call call = GetParam();
    bio_test::ModuleEnv env;
    load_configuration(env);
    const std::size_t normal = [&] {
        // Calls of this kind in a start and teardown without interruption.
        switch (call) {
            case Call::querybuf:
            case Call::qbuf:
                return std::size_t{3};
            case Call::reqbufs:
                return std::size_t{2};
            default:
                return std::size_t{1};
        }
    }();
    vsensor::add_fault({call, EINTR, 0, 2});

    ASSERT_NO_THROW(init_module());
    exit_module();

    EXPECT_EQ(calls_of(call).size(), normal + 2);
    EXPECT_EQ(env.log.count("failed: ", true), 0);
    EXPECT_EQ(env.log.count("Could not close fd: ", true), 0);
    EXPECT_EQ(vsensor::counters().open_descriptors, 0);
    EXPECT_EQ(vsensor::counters().live_mappings, 0);
}

INSTANTIATE_TEST_SUITE_P(Device, InterruptedRequest,
                         ::testing::Values(Call::querycap, Call::s_fmt, Call::reqbufs, Call::querybuf,
                                           Call::qbuf, Call::streamon, Call::streamoff, Call::close),
                         [](const auto& tp) { return std::string(vsensor::call_name(tp.param)); });

// ---------------------------------------------------------------- teardown refusals

TEST_F(DeviceTest, TeardownRefusalsAreLoggedAndTheTeardownGoesOn) {
    bio_test::ModuleEnv env;
    load_configuration(env);
    ASSERT_NO_THROW(init_module());
    vsensor::add_fault({Call::streamoff, EIO, 0, 1});
    vsensor::add_fault({Call::reqbufs, EBUSY, 0, 1});
    vsensor::add_fault({Call::close, EIO, 0, 1});
    env.log.clear();

    exit_module();

    EXPECT_EQ(env.log.texts(), (std::vector<std::string>{
                                   "Stopping Capture...",
                                   "VIDIOC_STREAMOFF failed: Input/output error",
                                   "Capture stopped",
                                   "Exiting mmap",
                                   "VIDIOC_REQBUFS failed: Device or resource busy",
                                   "mmap Exited",
                                   "Freeing buffers...",
                                   "Closing camera...",
                                   "Could not close fd: Input/output error",
                               }));
    EXPECT_EQ(camera_fd, -1);
    EXPECT_EQ(buffers, nullptr);
    EXPECT_EQ(vsensor::counters().live_mappings, 0);
}

}  // namespace
