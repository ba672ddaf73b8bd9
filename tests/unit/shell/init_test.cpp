// Tests of the entry point: registrations, camera start attempts, configuration conversions.
#include <cerrno>
#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bio_module.h"
#include "bio_test/legacy_support.h"
#include "ovra/host.h"
#include "ovra/plugin.h"
#include "ovra_dal/dal.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

struct InitResult {
    int result = -1;
    std::string error;
};

InitResult run_init(ovra::Plugin& plugin) {
    InitResult r;
    r.result = init(&plugin, &r.error);
    return r;
}

// Time between the end of each teardown ("Closing camera...") and the next attempt's
// "Initializing module": the pause between camera start attempts.
std::vector<milliseconds> pauses_between_attempts(const std::vector<ovra::host::LogRecord>& records) {
    std::vector<milliseconds> pauses;
    const ovra::host::LogRecord* closed = nullptr;
    for (const auto& record : records) {
        if (record.text == "Closing camera...") {
            closed = &record;
        } else if (record.text == "Initializing module" && closed != nullptr) {
            const auto ns = (record.time.tv_sec - closed->time.tv_sec) * 1000000000LL +
                            (record.time.tv_nsec - closed->time.tv_nsec);
            pauses.push_back(std::chrono::duration_cast<milliseconds>(std::chrono::nanoseconds(ns)));
            closed = nullptr;
        }
    }
    return pauses;
}

// Leaves no device open behind a test that started the camera.
class InitTest : public ::testing::Test {
protected:
    void TearDown() override { exit_module(); }
};

TEST_F(InitTest, RegistersNameRunAndEightListenersInOrder) {
    bio_test::ModuleEnv env;
    ovra::Plugin plugin;

    const InitResult r = run_init(plugin);

    ASSERT_EQ(r.result, 1) << r.error;
    EXPECT_EQ(plugin.name(), "bio_module");
    EXPECT_EQ(plugin.run_function(), &run);

    struct Expected {
        const char* type;
        ovra::MessageHandler handler;
        bool flag;
    };
    const std::vector<Expected> expected = {
        {"identifier_broadcast_identifier_id", on_identifier_broadcast, false},
        {"catra_event", on_catra_event, true},
        {"config_param_set", on_config_param_set, true},
        {"bio_module_enable", on_bio_module_enable, true},
        {"bio_module_disable", on_bio_module_disable, true},
        {"ovra_dal_record_updated", on_template_records_changed, false},
        {"ovra_dal_record_inserted", on_template_records_changed, false},
        {"ovra_dal_record_deleted", on_records_deleted, false},
    };
    const auto& listeners = plugin.listeners();
    ASSERT_EQ(listeners.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("listener " + std::to_string(i));
        EXPECT_EQ(listeners[i].type, expected[i].type);
        EXPECT_EQ(listeners[i].handler, expected[i].handler);
        EXPECT_EQ(listeners[i].flag, expected[i].flag);
    }
    // One attempt, no teardown.
    EXPECT_EQ(env.log.count("Initializing module"), 1);
    EXPECT_EQ(env.log.count("Stopping Capture..."), 0);
    EXPECT_GE(camera_fd, 0);
}

struct AttemptCase {
    const char* name;
    int failures;  // open failures before the camera starts; -1: it never starts
    int result;
    int attempts;
    int teardowns;
    int pauses;
};

void PrintTo(const AttemptCase& c, std::ostream* os) {
    *os << c.name;
}

class CameraAttempts : public InitTest, public ::testing::WithParamInterface<AttemptCase> {};

TEST_P(CameraAttempts, AttemptsPausesAndTeardowns) {
    const AttemptCase& c = GetParam();
    bio_test::ModuleEnv env(bio_test::with_params({{"restart_timeout", "50"}}));
    vsensor::add_fault({vsensor::Call::open, ENOENT, 0, c.failures});
    ovra::Plugin plugin;

    const auto started = steady_clock::now();
    const InitResult r = run_init(plugin);
    const auto elapsed = steady_clock::now() - started;

    EXPECT_EQ(r.result, c.result) << r.error;
    EXPECT_EQ(env.log.count("Initializing module"), c.attempts);
    EXPECT_EQ(env.log.count("Stopping Capture..."), c.teardowns);
    EXPECT_GE(elapsed, milliseconds(50 * c.pauses));
    const auto pauses = pauses_between_attempts(env.log.records());
    ASSERT_EQ(pauses.size(), static_cast<std::size_t>(c.pauses));
    for (const auto pause : pauses) {
        EXPECT_GE(pause, milliseconds(50));
        EXPECT_LT(pause, milliseconds(1050));
    }
    if (c.result == 0) {
        EXPECT_EQ(r.error,
                  "Unable to open camera device (" + env.device_path() + "): No such file or directory");
        EXPECT_EQ(plugin.run_function(), nullptr);
        EXPECT_TRUE(plugin.listeners().empty());
    } else {
        EXPECT_EQ(plugin.run_function(), &run);
        EXPECT_EQ(plugin.listeners().size(), 8U);
    }
    EXPECT_EQ(plugin.name(), "bio_module");
}

INSTANTIATE_TEST_SUITE_P(Init, CameraAttempts,
                         ::testing::Values(AttemptCase{"never_starts", -1, 0, 3, 3, 2},
                                           AttemptCase{"fails_once", 1, 1, 2, 1, 1},
                                           AttemptCase{"starts_at_once", 0, 1, 1, 0, 0}),
                         [](const auto& tp) { return std::string(tp.param.name); });

TEST_F(InitTest, ZeroRestartTimeoutRetriesWithoutPause) {
    bio_test::ModuleEnv env(bio_test::with_params({{"restart_timeout", "0"}}));
    vsensor::add_fault({vsensor::Call::open, EIO, 0, -1});
    ovra::Plugin plugin;

    const InitResult r = run_init(plugin);

    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.error, "Unable to open camera device (" + env.device_path() + "): Input/output error");
    EXPECT_EQ(env.log.count("Initializing module"), 3);
    const auto pauses = pauses_between_attempts(env.log.records());
    ASSERT_EQ(pauses.size(), 2U);
    for (const auto pause : pauses) {
        EXPECT_LT(pause, milliseconds(500));
    }
}

struct TimeoutCase {
    const char* name;
    const char* select_ms;
    long tv_sec;
    long tv_usec;
    const char* restart_ms;
    int restart_us;
    const char* delay_ms;
    int delay_us;
};

void PrintTo(const TimeoutCase& c, std::ostream* os) {
    *os << c.name;
}

class TimeoutConversion : public InitTest, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(TimeoutConversion, MillisecondsBecomeTimevalAndMicroseconds) {
    const TimeoutCase& c = GetParam();
    bio_test::ModuleEnv env(bio_test::with_params({{"select_timeout", c.select_ms},
                                                   {"restart_timeout", c.restart_ms},
                                                   {"finger_detected_delay", c.delay_ms}}));
    ovra::Plugin plugin;

    const InitResult r = run_init(plugin);

    ASSERT_EQ(r.result, 1) << r.error;
    EXPECT_EQ(select_timeout.tv_sec, c.tv_sec);
    EXPECT_EQ(select_timeout.tv_usec, c.tv_usec);
    EXPECT_EQ(restart_timeout, c.restart_us);
    EXPECT_EQ(finger_detected_delay, c.delay_us);
}

INSTANTIATE_TEST_SUITE_P(
    Init, TimeoutConversion,
    ::testing::Values(TimeoutCase{"s2500", "2500", 2, 500000, "200", 200000, "0", 0},
                      TimeoutCase{"s999", "999", 0, 999000, "0", 0, "1500", 1500000},
                      TimeoutCase{"negative", "-1500", -1, -500000, "1", 1000, "-3", -3000},
                      TimeoutCase{"zero", "0", 0, 0, "20", 20000, "7", 7000},
                      // 3000000 x 1000 = 3e9 wraps to 3e9 - 2^32 = -1294967296.
                      TimeoutCase{"wrapping_product", "0", 0, 0, "0", 0, "3000000", -1294967296}),
    [](const auto& tp) { return std::string(tp.param.name); });

struct FlagCase {
    const char* value;
    bool expected;
};

void PrintTo(const FlagCase& c, std::ostream* os) {
    *os << "value " << c.value;
}

class FlagConversion : public InitTest, public ::testing::WithParamInterface<FlagCase> {};

TEST_P(FlagConversion, AnyNonZeroValueIsTrue) {
    const FlagCase& c = GetParam();
    bio_test::ModuleEnv env(
        bio_test::with_params({{"net_debug_raw", c.value}, {"invert", c.value}, {"invert_pixels", c.value}}));
    ovra::Plugin plugin;

    const InitResult r = run_init(plugin);

    ASSERT_EQ(r.result, 1) << r.error;
    EXPECT_EQ(net_debug_raw, c.expected);
    EXPECT_EQ(invert, c.expected);
    EXPECT_EQ(invert_pixels, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Init, FlagConversion,
                         ::testing::Values(FlagCase{"0", false}, FlagCase{"1", true}, FlagCase{"-1", true},
                                           FlagCase{"7", true}, FlagCase{"-2147483648", true}));

TEST_F(InitTest, EveryKeyLandsInItsVariable) {
    bio_test::ModuleEnv env(bio_test::with_params({{"priority", "12"},
                                                   {"watchdog_timeout", "3400"},
                                                   {"finger_image_path", "/tmp/finger.png"},
                                                   {"bsize", "20"},
                                                   {"step", "5"},
                                                   {"img_num", "9"},
                                                   {"min_img_num", "3"},
                                                   {"var_min", "450"},
                                                   {"net_debug_ip", "127.0.0.1"},
                                                   {"net_debug_port", "5005"},
                                                   {"last_fp_reader", "GC032A"}}));
    ovra::Plugin plugin;

    const InitResult r = run_init(plugin);

    ASSERT_EQ(r.result, 1) << r.error;
    EXPECT_EQ(priority, 12);
    EXPECT_EQ(watchdog_timeout, 3400);
    EXPECT_EQ(device_path, env.device_path());
    EXPECT_EQ(finger_image_path, "/tmp/finger.png");
    EXPECT_EQ(bsize, 20);
    EXPECT_EQ(step, 5);
    EXPECT_EQ(img_num, 9);
    EXPECT_EQ(min_img_num, 3);
    EXPECT_EQ(var_min, 450);  // same model as last time: the configured value stays
    EXPECT_EQ(net_debug_ip, "127.0.0.1");
    EXPECT_EQ(net_debug_port, 5005);
    EXPECT_EQ(fp_reader_path, env.sensor_file());
    EXPECT_EQ(last_fp_reader, "GC032A");
    EXPECT_EQ(camera_sensor, "GC032A");
}

TEST_F(InitTest, TemplateCountIsReadAtStart) {
    bio_test::ModuleEnv env;
    ovra::host::insert_records(ovra_dal::bio_template::table_templates().name(), 4);
    ovra::Plugin plugin;

    const InitResult r = run_init(plugin);

    ASSERT_EQ(r.result, 1) << r.error;
    EXPECT_EQ(template_count.load(), 4);
}

TEST_F(InitTest, MissingRequiredKeyFailsWithTheStoreText) {
    bio_test::ModuleEnv env;
    env.erase("img_num");
    ovra::Plugin plugin;

    const InitResult r = run_init(plugin);

    EXPECT_EQ(r.result, 0);
    EXPECT_NE(r.error.find("img_num"), std::string::npos) << r.error;
    EXPECT_EQ(plugin.name(), "bio_module");
    EXPECT_EQ(plugin.run_function(), nullptr);
    EXPECT_TRUE(plugin.listeners().empty());
    EXPECT_EQ(env.log.count("Initializing module"), 0);
    // Keys read before the missing one keep their values.
    EXPECT_EQ(bsize, 16);
    EXPECT_EQ(step, 4);
}

TEST_F(InitTest, MissingVarMinIsOptional) {
    bio_test::ModuleEnv env(bio_test::with_params({{"last_fp_reader", "GC032A"}}));
    env.erase("var_min");
    ovra::Plugin plugin;

    const InitResult r = run_init(plugin);

    ASSERT_EQ(r.result, 1) << r.error;
    // Read as 0, then the fitted GC032A's default applies.
    EXPECT_EQ(var_min, 300);
}

struct VarianceCase {
    const char* name;
    const char* bsize;
    const char* step;
    bool accepted;
};

void PrintTo(const VarianceCase& c, std::ostream* os) {
    *os << c.name;
}

class VarianceParameters : public InitTest, public ::testing::WithParamInterface<VarianceCase> {};

TEST_P(VarianceParameters, BlockAndStepMustFitTheWindow) {
    const VarianceCase& c = GetParam();
    bio_test::ModuleEnv env(bio_test::with_params({{"bsize", c.bsize}, {"step", c.step}}));
    ovra::Plugin plugin;

    const InitResult r = run_init(plugin);

    if (c.accepted) {
        EXPECT_EQ(r.result, 1) << r.error;
        return;
    }
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.error, std::string("Invalid variance parameters: bsize=") + c.bsize + ", step=" + c.step +
                           " (need 1 <= step <= bsize <= 280)");
    EXPECT_EQ(env.log.count("Initializing module"), 0);
    EXPECT_EQ(plugin.run_function(), nullptr);
    EXPECT_TRUE(plugin.listeners().empty());
}

INSTANTIATE_TEST_SUITE_P(Init, VarianceParameters,
                         ::testing::Values(VarianceCase{"zero_block", "0", "2", false},
                                           VarianceCase{"zero_step", "16", "0", false},
                                           VarianceCase{"negative_step", "16", "-1", false},
                                           VarianceCase{"step_above_block", "16", "17", false},
                                           VarianceCase{"block_above_window", "281", "4", false},
                                           VarianceCase{"negative_both", "-4", "-8", false},
                                           VarianceCase{"smallest", "1", "1", true},
                                           VarianceCase{"largest", "280", "280", true},
                                           VarianceCase{"step_equals_block", "16", "16", true}),
                         [](const auto& tp) { return std::string(tp.param.name); });

}  // namespace
