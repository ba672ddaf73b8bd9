// The stand-in's configuration store and data-access layer where the module relies on them: the
// required flag and its text, the integer syntax and changes announced on the bus; row counts and
// one message per record operation.
#include <map>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "bio_test/bus.h"
#include "ovra/config.h"
#include "ovra/host.h"
#include "ovra/ovra_exception.h"
#include "ovra/post_office.h"
#include "ovra_dal/dal.h"

namespace {

using namespace std::chrono_literals;
namespace config = ovra::config;
namespace config_util = ovra::config_util;

// The required integer `key` of section "bio_module", or the text of the exception raised.
std::string read_int(const std::string& key) {
    try {
        return std::to_string(config_util::get_int("bio_module", key, true));
    } catch (const ovra::ovra_exception& e) {
        return e.what();
    }
}

// "type field=value ..." of every message recorded.
std::string messages_of(const bio_test::BusRecorder& recorder) {
    std::string out;
    for (const bio_test::Event& event : recorder.events()) {
        out += event.type;
        for (const ovra::MessageField& field : event.fields) {
            out += " " + field.name + "=" + field.text;
        }
        out += "; ";
    }
    return out;
}

class OvraStore : public testing::Test {
protected:
    void SetUp() override { ovra::host::open_database(":memory:"); }
    void TearDown() override {
        ovra::PostOffice::shutdown();
        ovra::host::close_database();
    }
};

TEST_F(OvraStore, RequiredKeysRaiseOptionalOnesReadEmptyAndFlaggedWritesAreAnnounced) {
    bio_test::BusRecorder recorder;
    EXPECT_EQ(read_int("var_min"), "configuration key bio_module/var_min is missing");
    std::string value = "stale";
    EXPECT_EQ(config::get_param("bio_module", "var_min", value, false), 0);
    EXPECT_EQ(value, "");
    EXPECT_EQ(config_util::get_int("bio_module", "var_min", false), 0);

    EXPECT_EQ(config::set_param("bio_module", "last_fp_reader", "GC0328", true), 1);
    config_util::set_int(-300, "bio_module", "var_min", true);
    config_util::set_int(7, "bio_module", "step", false);
    EXPECT_EQ(
        messages_of(recorder),
        "config_param_set param=last_fp_reader value=GC0328; config_param_set param=var_min value=-300; ");
    EXPECT_EQ(read_int("var_min"), "-300");
    EXPECT_EQ(ovra::host::peek_param("bio_module", "step"), std::optional<std::string>("7"));
}

// Decimal with at most one sign, blanks around; anything else is refused naming key and text.
TEST_F(OvraStore, IntegersAreReadOrRefused) {
    const std::map<std::string, std::string> read = {
        {"42", "42"}, {" \t42\n", "42"}, {"+5", "5"}, {"007", "7"}, {"-2147483648", "-2147483648"}};
    for (const auto& [text, value] : read) {
        ovra::host::seed_param("bio_module", "bsize", text);
        EXPECT_EQ(read_int("bsize"), value);
    }
    for (const std::string text : {"", "abc", "12x", "1 2", "4.5", "0x10", "+-1", "2147483648"}) {
        ovra::host::seed_param("bio_module", "bsize", text);
        EXPECT_EQ(read_int("bsize"),
                  "configuration value bio_module/bsize is not an integer: '" + text + "'");
    }
}

TEST_F(OvraStore, CountsRowsAndPostsOneMessagePerRecordOperation) {
    bio_test::BusRecorder recorder;
    const ovra_dal::table& templates = ovra_dal::bio_template::table_templates();
    EXPECT_EQ(ovra_dal::ovra_dao::count(templates, {}), 0);
    ovra::host::insert_records("templates", 4001);
    const std::int64_t user = ovra::host::insert_record("users", "alice");
    ovra::host::update_record("users", user, "bob");
    EXPECT_EQ(ovra::host::delete_records("templates", 2), 2);
    EXPECT_EQ(ovra_dal::ovra_dao::count(templates, {}), 3999);
    EXPECT_EQ(messages_of(recorder),
              "ovra_dal_record_inserted table=templates; ovra_dal_record_inserted table=users; "
              "ovra_dal_record_updated table=users; ovra_dal_record_deleted table=templates; ");
}

}  // namespace
