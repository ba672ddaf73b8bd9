// Tests of sensor detection and the per-model defaults, with the configuration store's writes.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bio_module.h"
#include "bio_test/legacy_support.h"
#include "ovra/ovra_exception.h"
#include "ovra/util.h"

namespace {

// The module's configuration as init would have loaded it, without the keys that this
// step writes, so that the store shows exactly what was written.
void load_configuration(const bio_test::ModuleEnv& env, const std::string& last_model,
                        int configured_var_min) {
    fp_reader_path = env.sensor_file();
    device_path = env.device_path();
    last_fp_reader = last_model;
    var_min = configured_var_min;
    env.erase("last_fp_reader");
    env.erase("var_min");
}

struct DetectCase {
    const char* name;
    std::string attribute;  // bytes of the sysfs file
    const char* last_model;
    int configured_var_min;
    std::string sensor;  // camera_sensor afterwards
    int var_min_after;
    std::optional<std::string> stored_last;  // nullopt: not written
    std::optional<std::string> stored_var_min;
};

void PrintTo(const DetectCase& c, std::ostream* os) {
    *os << c.name;
}

class SensorDetection : public ::testing::TestWithParam<DetectCase> {};

TEST_P(SensorDetection, ModelDefaultsAndStoreWrites) {
    const DetectCase& c = GetParam();
    bio_test::ModuleEnv env;
    env.write_sensor_model(c.attribute);
    load_configuration(env, c.last_model, c.configured_var_min);

    detect_sensor();
    apply_sensor_defaults();

    EXPECT_EQ(camera_sensor, c.sensor);
    EXPECT_EQ(var_min, c.var_min_after);
    EXPECT_EQ(env.peek("last_fp_reader"), c.stored_last);
    EXPECT_EQ(env.peek("var_min"), c.stored_var_min);
    // The loaded model name is never changed in memory.
    EXPECT_EQ(last_fp_reader, c.last_model);
    if (c.attribute.empty()) {
        EXPECT_EQ(env.log.count("Sysfs info: ", true), 0);
    } else {
        EXPECT_EQ(env.log.texts_of("init_module"), std::vector<std::string>{"Sysfs info: " + c.sensor});
    }
}

INSTANTIATE_TEST_SUITE_P(
    Camera, SensorDetection,
    ::testing::Values(
        DetectCase{"gc0307_same_model_keeps_var_min", "GC0307", "GC0307", 500, "GC0307", 500, std::nullopt,
                   std::nullopt},
        DetectCase{"gc032a_same_model_keeps_var_min", "GC032A", "GC032A", 500, "GC032A", 500, std::nullopt,
                   std::nullopt},
        DetectCase{"model_change_applies_default", "GC032A", "GC0307", 500, "GC032A", 300, "GC032A", "300"},
        DetectCase{"first_start_gc0307", "GC0307", "", 0, "GC0307", 1000, "GC0307", "1000"},
        DetectCase{"first_start_gc0328", "GC0328", "", 700, "GC0328", 1000, "GC0328", "1000"},
        DetectCase{"same_model_unset_var_min", "GC0328", "GC0328", 0, "GC0328", 1000, std::nullopt, "1000"},
        DetectCase{"line_end_matches_no_model", "GC0307\n", "GC0307", 500, "GC0307\n", 0, "GC0307\n", "0"},
        DetectCase{"trailing_space_matches_no_model", "GC032A ", "GC032A", 0, "GC032A ", 0, "GC032A ", "0"},
        DetectCase{"unknown_model", "OV7725", "GC0307", 500, "OV7725", 0, "OV7725", "0"},
        DetectCase{"exactly_19_bytes", "GC032A-rev3-xxxxxxx", "GC032A", 500, "GC032A-rev3-xxxxxxx", 0,
                   "GC032A-rev3-xxxxxxx", "0"},
        DetectCase{"longer_than_19_bytes", "GC032A-rev3-xxxxxxxYYYY\n", "GC032A-rev3-xxxxxxx", 500,
                   "GC032A-rev3-xxxxxxx", 500, std::nullopt, std::nullopt},
        DetectCase{"empty_attribute_keeps_none", "", "", 0, "None", 0, std::nullopt, "0"},
        DetectCase{"empty_attribute_configured", "", "GC0307", 500, "None", 500, std::nullopt, std::nullopt}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST(SensorDetectionRestart, EmptyAttributeKeepsTheEarlierModel) {
    bio_test::ModuleEnv env;
    env.write_sensor_model("GC0328");
    load_configuration(env, "GC0328", 800);
    detect_sensor();
    ASSERT_EQ(camera_sensor, "GC0328");

    env.write_sensor_model("");
    detect_sensor();
    apply_sensor_defaults();

    EXPECT_EQ(camera_sensor, "GC0328");
    EXPECT_EQ(var_min, 800);
    EXPECT_EQ(env.peek("var_min"), std::nullopt);
}

TEST(SensorDetectionRestart, ModelDifferentFromLoadedOneIsWrittenAtEveryStart) {
    bio_test::ModuleEnv env;
    env.write_sensor_model("GC0307");
    load_configuration(env, "GC0328", 500);

    for (int start = 0; start < 2; ++start) {
        SCOPED_TRACE(start);
        var_min = 500;
        env.erase("last_fp_reader");
        env.erase("var_min");
        detect_sensor();
        apply_sensor_defaults();
        EXPECT_EQ(var_min, 1000);
        EXPECT_EQ(env.peek("last_fp_reader"), std::optional<std::string>("GC0307"));
        EXPECT_EQ(env.peek("var_min"), std::optional<std::string>("1000"));
    }
}

TEST(SensorDetectionRead, UnreadableAttributeKeepsModelSilently) {
    bio_test::ModuleEnv env;
    load_configuration(env, "GC032A", 300);
    // A directory opens but refuses the read (EISDIR).
    fp_reader_path = env.dir().path();

    EXPECT_NO_THROW(detect_sensor());
    EXPECT_EQ(camera_sensor, "None");
    EXPECT_EQ(env.peek("last_fp_reader"), std::nullopt);
    EXPECT_EQ(env.log.count("Sysfs info: ", true), 0);
}

TEST(SensorDetectionFailures, NoIdentificationFileAnywhere) {
    if (ovra::util::file_exists(default_fp_reader_path)) {
        GTEST_SKIP() << "this machine has the board's sysfs attribute";
    }
    for (const std::string& path : {std::string("/nonexistent/fingerprint_reader"), std::string()}) {
        SCOPED_TRACE(path);
        bio_test::ModuleEnv env;
        load_configuration(env, "GC032A", 300);
        fp_reader_path = path;
        try {
            detect_sensor();
            ADD_FAILURE() << "no exception";
        } catch (const ovra::ovra_exception& e) {
            EXPECT_STREQ(e.what(), "No expected i2c fingerprint device is present");
            EXPECT_TRUE(e.flag());
        }
        EXPECT_EQ(fp_reader_path, path);
        EXPECT_EQ(camera_sensor, "None");
    }
}

TEST(SensorDetectionFailures, NoIdentificationFileStopsBeforeTheDevice) {
    if (ovra::util::file_exists(default_fp_reader_path)) {
        GTEST_SKIP() << "this machine has the board's sysfs attribute";
    }
    bio_test::ModuleEnv env;
    load_configuration(env, "GC032A", 300);
    fp_reader_path = env.dir().file("missing");

    EXPECT_THROW(init_module(), ovra::ovra_exception);
    EXPECT_EQ(vsensor::counters().opens, 0U);
    EXPECT_TRUE(offsetMatrix.empty());
    EXPECT_EQ(env.log.texts(), std::vector<std::string>{"Initializing module"});

    env.log.clear();
    exit_module();
    EXPECT_EQ(env.log.texts(), (std::vector<std::string>{
                                   "Stopping Capture...",
                                   "VIDIOC_STREAMOFF failed: Bad file descriptor",
                                   "Capture stopped",
                                   "Exiting mmap",
                                   "VIDIOC_REQBUFS failed: Bad file descriptor",
                                   "mmap Exited",
                                   "Closing camera...",
                               }));
    for (const auto& entry : vsensor::trace()) {
        EXPECT_NE(entry.call, vsensor::Call::open);
        EXPECT_NE(entry.call, vsensor::Call::close);
    }
}

TEST(SensorDetectionFailures, DefaultPathIsUsedAndKept) {
    if (!ovra::util::file_exists(default_fp_reader_path)) {
        GTEST_SKIP() << "the board's sysfs attribute is not present on this machine";
    }
    bio_test::ModuleEnv env;
    load_configuration(env, "", 0);
    fp_reader_path = "";

    detect_sensor();

    EXPECT_EQ(fp_reader_path, default_fp_reader_path);
}

TEST(SensorDetectionFailures, FileThatCannotBeOpened) {
    bio_test::ModuleEnv env;
    load_configuration(env, "GC032A", 300);
    // A socket node exists, but open() refuses it with ENXIO, also for root.
    const std::string path = env.dir().file("socket");
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(::bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    fp_reader_path = path;

    try {
        detect_sensor();
        ADD_FAILURE() << "no exception";
    } catch (const ovra::ovra_exception& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Unable to open camera i2c bus (" + path + "): No such device or address");
    }
    ::close(sock);
    EXPECT_EQ(camera_sensor, "None");
}

}  // namespace
