// Camera capture through init and exit_module: sensor detection and its store writes, the device
// failure table, the requests a start makes of the driver and the teardown records.
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bio_module.h"
#include "module_support.h"
#include "ovra/util.h"

namespace {

using module_test::operator<<;

using namespace std::chrono_literals;

using module_test::Host;
using vsensor::Call;

// The argument the virtual sensor saw in each call of one kind (open's flags, S_FMT's fourcc, ...).
std::vector<std::int64_t> args_of(Call call) {
    std::vector<std::int64_t> args;
    for (const auto& entry : vsensor::trace()) {
        if (entry.call == call) {
            args.push_back(entry.arg);
        }
    }
    return args;
}

struct SensorRow {
    const char* name;
    std::string attribute;   // bytes of the sysfs file
    const char* last_model;  // last_fp_reader as configured
    const char* var_min;     // as configured
    std::string sensor;      // camera_sensor afterwards
    int var_min_after;
    const char* written_last;  // last_fp_reader written to the store, or null
    const char* stored_var_min;
};

// clang-format off
const SensorRow sensor_rows[] = {
    {"same_model_keeps_var_min", "GC0307", "GC0307", "500", "GC0307", 500, nullptr, "500"},
    {"same_model_keeps_negative_var_min", "GC032A", "GC032A", "-5", "GC032A", -5, nullptr, "-5"},
    {"model_change_applies_default", "GC032A", "GC0307", "500", "GC032A", 300, "GC032A", "300"},
    {"first_start_gc0307", "GC0307", "", "0", "GC0307", 1000, "GC0307", "1000"},
    {"first_start_gc0328", "GC0328", "", "700", "GC0328", 1000, "GC0328", "1000"},
    {"same_model_unset_var_min", "GC032A", "GC032A", "0", "GC032A", 300, nullptr, "300"},
    {"line_end_matches_no_model", "GC0307\n", "GC0307", "500", "GC0307\n", 0, "GC0307\n", "0"},
    {"longer_than_19_bytes", "GC032A-rev3-xxxxxxxYYYY\n", "GC032A-rev3-xxxxxxx", "500", "GC032A-rev3-xxxxxxx",
     500, nullptr, "500"},
    {"empty_attribute_keeps_none", "", "GC0307", "500", "None", 500, nullptr, "500"},
};
// clang-format on

class SensorDetection : public testing::TestWithParam<SensorRow> {};

TEST_P(SensorDetection, ModelDefaultsAndStoreWrites) {
    const SensorRow& row = GetParam();
    Host host({row.attribute, {{"last_fp_reader", row.last_model}, {"var_min", row.var_min}}});
    ASSERT_EQ(host.start(), 1) << host.error;

    EXPECT_EQ(camera_sensor, row.sensor);
    EXPECT_EQ(var_min, row.var_min_after);
    EXPECT_EQ(last_fp_reader, row.last_model) << "the loaded model is never changed in memory";
    EXPECT_EQ(host.env.peek("last_fp_reader"),
              row.written_last != nullptr ? row.written_last : row.last_model);
    EXPECT_EQ(host.env.peek("var_min"), row.stored_var_min);
    const auto records = host.env.events.log_texts("init_module");
    EXPECT_EQ(std::count(records.begin(), records.end(), "Sysfs info: " + row.sensor),
              row.attribute.empty() ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(Camera, SensorDetection, testing::ValuesIn(sensor_rows), module_test::row_name);

// With fp_reader_path empty or naming no file, the attribute the sensor's driver publishes at the board's
// path names the model, and that path is kept for later starts.
TEST(SensorFallback, BoardAttributeNamesTheModel) {
    for (const char* configured : {"", "/nonexistent/fingerprint_reader"}) {
        SCOPED_TRACE(configured);
        bio_test::ModuleEnvOptions options{"GC032A", {{"fp_reader_path", configured}, {"var_min", "0"}}, {}};
        options.sensor.sensor_model = "GC0328";
        Host host(options);
        ASSERT_EQ(host.start(), 1) << host.error;
        EXPECT_EQ(camera_sensor, "GC0328");
        EXPECT_EQ(var_min, 1000);
        EXPECT_EQ(fp_reader_path,
                  "/sys/devices/platform/soc/1c2b400.i2c/i2c-2/2-0021/2-0021/fingerprint_reader");
        EXPECT_EQ(host.env.peek("last_fp_reader"), "GC0328");
        exit_module();
    }
}

struct FailureRow {
    const char* name;
    std::function<void(Host&)> setup;
    std::string text;  // '@' stands for the test's directory
};

// A fault on every call of one kind after `skip` calls.
std::function<void(Host&)> fault(Call call, int error, int skip = 0) {
    return [=](Host&) { vsensor::add_fault({call, error, skip, -1}); };
}

// A driver configured otherwise than the default virtual sensor.
std::function<void(Host&)> driver(const std::function<void(vsensor::Config&)>& change) {
    return [change](Host&) {
        vsensor::Config config = vsensor::current_config();
        change(config);
        vsensor::configure(config);
    };
}

// A socket node as the sensor-model file: it exists, but open() refuses it with ENXIO, also for root.
void socket_as_sensor_file(Host& h) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, h.env.dir().file("socket").c_str(), sizeof address.sun_path - 1);
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    close(sock);
    h.env.seed("fp_reader_path", address.sun_path);
}

// clang-format off
const FailureRow failure_rows[] = {
    {"no_sensor_file", [](Host& h) { h.env.seed("fp_reader_path", "/nonexistent"); },
     "No expected i2c fingerprint device is present"},
    {"sensor_file_not_openable", socket_as_sensor_file, "Unable to open camera i2c bus (@/socket): No such device or address"},
    {"open_missing", fault(Call::open, ENOENT), "Unable to open camera device (@/video0): No such file or directory"},
    {"open_busy", fault(Call::open, EBUSY), "Unable to open camera device (@/video0): Device or resource busy"},
    {"querycap", fault(Call::querycap, EIO), "Unable to query camera cap: Input/output error"},
    {"no_capabilities", driver([](auto& c) { c.capabilities = 0; }), "Camera device does not support video capture"},
    {"streaming_only", driver([](auto& c) { c.capabilities = 0x04000000u; }),
     "Camera device does not support video capture"},
    {"capture_only", driver([](auto& c) { c.capabilities = 0x00000001u; }),
     "Camera device does not support video streaming"},
    {"s_fmt", fault(Call::s_fmt, EINVAL), "Unable to negotiate format data: Invalid argument"},
    {"driver_adjusts_the_format", driver([](auto& c) { c.width = 320, c.height = 240, c.pixelformat = 0x56595559u; }),
     "Camera format not supported: 320x240 fourcc YUYV (need 640x480 UYVY)"},
    {"reqbufs", fault(Call::reqbufs, ENOMEM), "Unable to obtain buffers: Cannot allocate memory"},
    {"two_buffers", driver([](auto& c) { c.granted_buffers = 2; }), "Not enough buffers (requested: 3, received: 2)"},
    {"short_buffer", driver([](auto& c) { c.buffer_length = 614399; }),
     "Camera buffer too small: buffer 0 has 614399 bytes (need 614400)"},
    {"querybuf_second", fault(Call::querybuf, EINVAL, 1), "Unable to query buffers: Invalid argument"},
    {"mmap_third", fault(Call::mmap, ENOMEM, 2), "Unable to map buffers: Cannot allocate memory"},
    {"qbuf_second", fault(Call::qbuf, EIO, 1), "Unable to queue buffer: Input/output error"},
    {"streamon", fault(Call::streamon, EIO), "Unable to start capture: Input/output error"},
};
// clang-format on

class DeviceFailure : public testing::TestWithParam<FailureRow> {};

// Every one of init's three attempts fails, each torn down and followed by a pause but the last: init
// reports the text, and the teardowns leave nothing open or mapped.
TEST_P(DeviceFailure, InitFailsWithTheStepTextAndReleasesEverything) {
    const FailureRow& row = GetParam();
    if (std::string(row.name) == "no_sensor_file" && ovra::util::file_exists(default_fp_reader_path)) {
        GTEST_SKIP() << "this machine has the board's sysfs attribute";
    }
    Host host({"GC032A", {{"restart_timeout", "50"}}});
    row.setup(host);
    std::string expected = row.text;
    if (const auto at = expected.find('@'); at != std::string::npos) {
        expected.replace(at, 1, host.env.dir().path());
    }
    // A page at the bottom of the address space, where a teardown's munmap of a never-mapped buffer entry
    // (a null start) would reach.
    void* const low = mmap(reinterpret_cast<void*>(0x40000), 4096, PROT_READ,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(host.start(), 0);
    if (low != MAP_FAILED) {
        EXPECT_EQ(msync(low, 4096, MS_ASYNC), 0) << "the teardown unmapped a page it never mapped";
        munmap(low, 4096);
    }
    EXPECT_GE(std::chrono::steady_clock::now() - started, 100ms);
    EXPECT_EQ(host.error, expected);
    EXPECT_EQ(host.plugin.run_function(), nullptr);
    EXPECT_TRUE(host.plugin.listeners().empty());
    const auto texts = host.env.events.log_texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "Initializing module"), 3);
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "Stopping Capture..."), 3);
    const vsensor::Counters counters = vsensor::counters();
    EXPECT_EQ(counters.open_descriptors, 0);
    EXPECT_EQ(counters.live_mappings, 0);
    EXPECT_FALSE(counters.streaming);
}

INSTANTIATE_TEST_SUITE_P(Camera, DeviceFailure, testing::ValuesIn(failure_rows), module_test::row_name);

// A start asks for 640 x 480 UYVY on a non-blocking descriptor and queues buffers 0 to 2 of those granted;
// the teardown logs each step, and each refusal, goes on, and releases everything; a second one finds
// nothing to release.
TEST(Device, StartsAndTearsDownWithTheirRecords) {
    for (const unsigned granted : {3u, 4u}) {
        SCOPED_TRACE(granted);
        Host host;
        vsensor::Config config = vsensor::current_config();
        config.granted_buffers = granted;
        vsensor::configure(config);
        ASSERT_EQ(host.start(), 1) << host.error;
        const auto opens = args_of(Call::open);
        ASSERT_EQ(opens.size(), 1u);
        EXPECT_EQ(opens[0] & (O_ACCMODE | O_NONBLOCK | O_CLOEXEC), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        EXPECT_EQ(args_of(Call::s_fmt), std::vector<std::int64_t>{0x59565955});  // "UYVY"
        EXPECT_EQ(args_of(Call::reqbufs), std::vector<std::int64_t>{3});
        EXPECT_EQ(args_of(Call::mmap).size(), granted);
        EXPECT_EQ(args_of(Call::qbuf), (std::vector<std::int64_t>{0, 1, 2}));
        EXPECT_TRUE(vsensor::counters().streaming);
        // clang-format off
        std::vector<std::string> expected = {"Initializing module", "Sysfs info: GC032A", "Initializing Camera",
            "Initializing mmap", "Initializing Capture", "Stopping Capture...", "Capture stopped", "Exiting mmap",
            "mmap Exited", "Freeing buffers...", "Closing camera..."};
        if (granted == 4) {
            vsensor::add_fault({Call::streamoff, EIO, 0, 1});
            vsensor::add_fault({Call::reqbufs, EBUSY, 0, 1});
            vsensor::add_fault({Call::close, EIO, 0, 1});
            expected = {"Initializing module", "Sysfs info: GC032A", "Initializing Camera", "Initializing mmap",
                "Initializing Capture", "Stopping Capture...", "VIDIOC_STREAMOFF failed: Input/output error",
                "Capture stopped", "Exiting mmap", "VIDIOC_REQBUFS failed: Device or resource busy", "mmap Exited",
                "Freeing buffers...", "Closing camera...", "Could not close fd: Input/output error"};
        }
        exit_module();
        EXPECT_EQ(vsensor::counters().live_mappings, 0);
        exit_module();
        expected.insert(expected.end(), {"Stopping Capture...", "VIDIOC_STREAMOFF failed: Bad file descriptor",
            "Capture stopped", "Exiting mmap", "VIDIOC_REQBUFS failed: Bad file descriptor", "mmap Exited",
            "Closing camera..."});
        // clang-format on
        EXPECT_EQ(host.env.events.log_texts(), expected);
        EXPECT_EQ(args_of(Call::close).size(), 1u);
    }
}

}  // namespace
