// The configuration store: required and optional keys, integer parsing, announcements of
// changes, exception modes, the identification switch and database failures.
#include <climits>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ovra/config.h"
#include "ovra/host.h"
#include "ovra/ovra_exception.h"
#include "ovra/post_office.h"
#include "ovra/util.h"
#include "test_support.h"

namespace {

using ovrafw_test::kWait;
namespace config = ovra::config;
namespace config_util = ovra::config_util;

// The text of the ovra_exception that `call` raises; "no exception" otherwise.
template <class Call>
std::string raised_text(Call&& call) {
    try {
        call();
    } catch (const ovra::ovra_exception& e) {
        return e.what();
    }
    return "no exception";
}

class OvraConfig : public ovrafw_test::HostTest {};

TEST_F(OvraConfig, PresentKeyIsReadWhateverTheFlag) {
    ovra::host::seed_param("bio_module", "device_path", "/dev/video0");
    std::string value;
    EXPECT_EQ(config::get_param("bio_module", "device_path", value, true), 1);
    EXPECT_EQ(value, "/dev/video0");
    value.clear();
    EXPECT_EQ(config::get_param("bio_module", "device_path", value, false), 1);
    EXPECT_EQ(value, "/dev/video0");
}

TEST_F(OvraConfig, SectionsAreSeparate) {
    ovra::host::seed_param("bio_module", "bsize", "16");
    std::string value;
    EXPECT_EQ(config::get_param("other_module", "bsize", value, false), 0);
    EXPECT_EQ(config_util::get_int("bio_module", "bsize", true), 16);
}

TEST_F(OvraConfig, MissingRequiredKeyRaisesNamingSectionAndKey) {
    std::string value;
    EXPECT_EQ(raised_text([&] { config::get_param("bio_module", "var_min", value, true); }),
              "configuration key bio_module/var_min is missing");
    EXPECT_EQ(raised_text([] { config_util::get_int("bio_module", "bsize", true); }),
              "configuration key bio_module/bsize is missing");
}

TEST_F(OvraConfig, MissingOptionalKeyReadsEmptyOrZero) {
    std::string value = "stale";
    EXPECT_EQ(config::get_param("bio_module", "var_min", value, false), 0);
    EXPECT_EQ(value, "");
    EXPECT_EQ(config_util::get_int("bio_module", "var_min", false), 0);
}

TEST_F(OvraConfig, ErasedKeyIsMissing) {
    ovra::host::seed_param("bio_module", "step", "4");
    ovra::host::erase_param("bio_module", "step");
    EXPECT_FALSE(ovra::host::peek_param("bio_module", "step").has_value());
    EXPECT_EQ(raised_text([] { config_util::get_int("bio_module", "step", true); }),
              "configuration key bio_module/step is missing");
}

struct IntCase {
    const char* text;
    bool valid;
    int value;
};

// Names the generated cases by their text (ctest shows it).
void PrintTo(const IntCase& c, std::ostream* out) {
    *out << "text[";
    for (const char* p = c.text; *p != '\0'; ++p) {
        *out << (*p == ' ' ? "_" : *p == '\t' ? "\\t" : *p == '\n' ? "\\n" : std::string(1, *p));
    }
    *out << "]";
}

class OvraConfigInt : public OvraConfig, public ::testing::WithParamInterface<IntCase> {};

TEST_P(OvraConfigInt, ReadsOrRejectsNamingSectionKeyAndValue) {
    const IntCase& c = GetParam();
    ovra::host::seed_param("bio_module", "bsize", c.text);
    for (bool flag : {true, false}) {
        if (c.valid) {
            EXPECT_EQ(config_util::get_int("bio_module", "bsize", flag), c.value);
        } else {
            EXPECT_EQ(
                raised_text([flag] { config_util::get_int("bio_module", "bsize", flag); }),
                "configuration value bio_module/bsize is not an integer: '" + std::string(c.text) + "'");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, OvraConfigInt,
    ::testing::Values(IntCase{"42", true, 42}, IntCase{" 42 ", true, 42}, IntCase{"\t42\n", true, 42},
                      IntCase{"-7", true, -7}, IntCase{"+5", true, 5}, IntCase{"0", true, 0},
                      IntCase{"007", true, 7}, IntCase{"2147483647", true, INT_MAX},
                      IntCase{"-2147483648", true, INT_MIN}, IntCase{"abc", false, 0},
                      IntCase{"12x", false, 0}, IntCase{"", false, 0}, IntCase{"  ", false, 0},
                      IntCase{"-", false, 0}, IntCase{"+-1", false, 0}, IntCase{"1 2", false, 0},
                      IntCase{"4.5", false, 0}, IntCase{"0x10", false, 0}, IntCase{"99999999999", false, 0},
                      IntCase{"2147483648", false, 0}, IntCase{"-2147483649", false, 0}));

TEST_F(OvraConfig, SetIntStoresDecimalText) {
    config_util::set_int(-300, "bio_module", "var_min", false);
    EXPECT_EQ(ovra::host::peek_param("bio_module", "var_min"), std::optional<std::string>("-300"));
    EXPECT_EQ(config_util::get_int("bio_module", "var_min", true), -300);
}

TEST_F(OvraConfig, SetParamWithFlagAnnouncesTheChange) {
    ovrafw_test::TapRecorder tap;
    EXPECT_EQ(config::set_param("bio_module", "last_fp_reader", "GC0328", true), 1);
    ASSERT_TRUE(tap.wait_for("config_param_set", 1, kWait));
    const auto seen = tap.of_type("config_param_set");
    ASSERT_EQ(seen.size(), 1u);
    ASSERT_EQ(seen[0].fields.size(), 2u);
    EXPECT_EQ(seen[0].fields[0].name, "param");
    EXPECT_EQ(seen[0].text("param"), std::optional<std::string>("last_fp_reader"));
    EXPECT_EQ(seen[0].fields[1].name, "value");
    EXPECT_EQ(seen[0].text("value"), std::optional<std::string>("GC0328"));
    EXPECT_EQ(ovra::host::peek_param("bio_module", "last_fp_reader"), std::optional<std::string>("GC0328"));

    config_util::set_int(1000, "bio_module", "var_min", true);
    ASSERT_TRUE(tap.wait_for("config_param_set", 2, kWait));
    EXPECT_EQ(tap.of_type("config_param_set")[1].text("value"), std::optional<std::string>("1000"));
}

TEST_F(OvraConfig, SetParamWithoutFlagIsSilent) {
    ovrafw_test::TapRecorder tap;
    EXPECT_EQ(config::set_param("bio_module", "last_fp_reader", "GC0307", false), 1);
    config_util::set_int(0, "bio_module", "var_min", false);
    ovra::host::seed_param("bio_module", "bsize", "8");
    ASSERT_TRUE(ovra::PostOffice::flush(kWait));
    EXPECT_TRUE(tap.messages().empty());
    EXPECT_EQ(ovra::host::peek_param("bio_module", "last_fp_reader"), std::optional<std::string>("GC0307"));
}

// A listener of "config_param_set" may read the store back (no lock is held while it runs).
std::string value_seen_by_listener;
void read_back(ovra::Message* message) {
    std::string param;
    message->get_string("param", &param);
    ovra::config::get_param("identifier", param, value_seen_by_listener, true);
}

TEST_F(OvraConfig, ListenerOfTheAnnouncementCanReadTheStore) {
    ovra::PostOffice::add_listener({"config_param_set", read_back, true});
    config::set_param("identifier", "exception_mode", "locked", true);
    ASSERT_TRUE(ovra::PostOffice::flush(kWait));
    EXPECT_EQ(value_seen_by_listener, "locked");
}

TEST(OvraExceptionMode, NormalOrZeroIsZeroAnythingElseIsNot) {
    EXPECT_EQ(config_util::str_to_exception_mode("normal"), 0);
    EXPECT_EQ(config_util::str_to_exception_mode("0"), 0);
    EXPECT_EQ(config_util::str_to_exception_mode("locked"), 1);
    EXPECT_EQ(config_util::str_to_exception_mode("1"), 1);
    EXPECT_EQ(config_util::str_to_exception_mode("released"), 2);
    EXPECT_EQ(config_util::str_to_exception_mode("emergency"), 3);
    for (const char* other : {"", "Normal", " normal", "00", "garbage", "-0"}) {
        EXPECT_NE(config_util::str_to_exception_mode(other), 0) << "'" << other << "'";
    }
}

TEST_F(OvraConfig, IdentificationSwitch) {
    const int id = 0x62696F00;
    EXPECT_TRUE(ovra::util::identifier::identification_enabled(id));
    ovra::host::set_identification_enabled(id, false);
    EXPECT_EQ(ovra::host::peek_param("identifier", "identification_enabled_1651076864"),
              std::optional<std::string>("0"));
    EXPECT_FALSE(ovra::util::identifier::identification_enabled(id));
    EXPECT_TRUE(ovra::util::identifier::identification_enabled(id + 1));
    ovra::host::set_identification_enabled(id, true);
    EXPECT_TRUE(ovra::util::identifier::identification_enabled(id));
    ovra::host::seed_param("identifier", "identification_enabled_1651076864", "off");
    EXPECT_TRUE(ovra::util::identifier::identification_enabled(id));
}

TEST(OvraDatabase, EveryStoreCallWithoutADatabaseRaises) {
    ovra::host::close_database();
    EXPECT_FALSE(ovra::host::database_open());
    std::string value;
    EXPECT_EQ(raised_text([&] { config::get_param("bio_module", "bsize", value, false); }),
              "no database open");
    EXPECT_EQ(raised_text([] { config::set_param("bio_module", "bsize", "1", false); }), "no database open");
    EXPECT_EQ(raised_text([] { config_util::get_int("bio_module", "bsize", false); }), "no database open");
    EXPECT_EQ(raised_text([] { ovra::host::seed_param("bio_module", "bsize", "1"); }), "no database open");
    // The identification switch reads as on rather than failing.
    EXPECT_TRUE(ovra::util::identifier::identification_enabled(1));
}

TEST(OvraDatabase, MissingDirectoryIsNamedInOneLine) {
    ovrafw_test::TempDir dir;
    ovra::host::open_database(":memory:");  // a failed open leaves no database, not this one
    const std::string path = dir.file("missing/host.db");
    EXPECT_EQ(raised_text([&] { ovra::host::open_database(path); }),
              "cannot open database " + path + ": directory " + dir.file("missing") + " does not exist");
    EXPECT_FALSE(ovra::host::database_open());
}

TEST(OvraDatabase, FileDatabaseKeepsValuesAcrossReopening) {
    ovrafw_test::TempDir dir;
    ovra::host::open_database(dir.file("host.db"));
    ovra::host::seed_param("bio_module", "bsize", "16");
    ovra::host::close_database();
    ovra::host::open_database(dir.file("host.db"));
    EXPECT_EQ(config_util::get_int("bio_module", "bsize", true), 16);
    ovra::host::open_database(":memory:");  // reopening replaces the previous database
    EXPECT_FALSE(ovra::host::peek_param("bio_module", "bsize").has_value());
    ovra::host::close_database();
}

TEST_F(OvraConfig, ConcurrentReadersAndWritersSeeWholeValues) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            const std::string key = "key" + std::to_string(t);
            for (int i = 0; i < 200; ++i) {
                config_util::set_int(i, "stress", key, i % 10 == 0);
                EXPECT_EQ(config_util::get_int("stress", key, true), i);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(config_util::get_int("stress", "key3", true), 199);
}

}  // namespace
