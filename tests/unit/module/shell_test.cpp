// Plug-in shell: what init registers, its camera attempts and configuration, and the message handlers
// as init registered them.
#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bio_common/text.h"
#include "bio_module.h"
#include "module_support.h"
#include "ovra/host.h"
#include "ovra/post_office.h"

namespace {

using module_test::operator<<;

using namespace std::chrono_literals;

using module_test::Host;

struct ConfigRow {
    const char* name;
    const char* key;
    const char* value;     // null: the key is missing
    const char* expected;  // part of converted()
};

// init's result text, what it registered, and the configuration it converted.
std::string converted(const Host& h) {
    std::string text =
        h.error + "|" + h.plugin.name() + (h.plugin.run_function() == &run ? " run" : " no run");
    for (const auto& listener : h.plugin.listeners()) {
        text += " " + listener.type + (listener.flag ? ":1" : ":0");
    }
    return text + "|select " + std::to_string(select_timeout.tv_sec) + " s " +
           std::to_string(select_timeout.tv_usec) + " us|restart " + std::to_string(restart_timeout) +
           " us|delay " + std::to_string(finger_detected_delay) + " us|invert " + std::to_string(invert) +
           "|raw " + std::to_string(net_debug_raw) + "|invert_pixels " + std::to_string(invert_pixels) +
           "|var_min " + std::to_string(var_min) + " stored " + h.env.peek("var_min").value_or("none") + "|";
}

// clang-format off
const ConfigRow config_rows[] = {
    {"registers_name_run_and_listeners", "priority", "0", "|bio_module run identifier_broadcast_identifier_id:0 "
     "catra_event:1 config_param_set:1 bio_module_enable:1 bio_module_disable:1 ovra_dal_record_updated:0 "
     "ovra_dal_record_inserted:0 ovra_dal_record_deleted:0|"},
    {"select_timeout_2500", "select_timeout", "2500", "|select 2 s 500000 us|"},
    {"select_timeout_999", "select_timeout", "999", "|select 0 s 999000 us|"},
    {"restart_timeout_200", "restart_timeout", "200", "|restart 200000 us|"},
    {"finger_detected_delay_150", "finger_detected_delay", "150", "|delay 150000 us|"},
    {"invert_negative", "invert", "-1", "|invert 1|"},
    {"net_debug_raw_negative", "net_debug_raw", "-5", "|raw 1|"},
    {"invert_pixels_7", "invert_pixels", "7", "|invert_pixels 1|"},
    // var_min is optional: missing, it is unset, and the sensor's default is applied and stored.
    {"var_min_missing", "var_min", nullptr, "|var_min 300 stored 300|"},
    {"required_key_missing", "bsize", nullptr, "configuration key bio_module/bsize is missing|bio_module no run|"},
    // The score needs 1 <= step <= bsize <= 280 (the seeded bsize is 16, the step 4).
    {"bsize_280_accepted", "bsize", "280", "|bio_module run "},
    {"bsize_281_refused", "bsize", "281", "Invalid variance parameters: bsize=281, step=4 (need 1 <= step <= bsize <= 280)|"},
    {"step_above_bsize_refused", "step", "17", "Invalid variance parameters: bsize=16, step=17 (need 1 <= step <= bsize <= 280)|"},
    {"step_0_refused", "step", "0", "Invalid variance parameters: bsize=16, step=0 (need 1 <= step <= bsize <= 280)|"},
};
// clang-format on

class Configuration : public testing::TestWithParam<ConfigRow> {};

TEST_P(Configuration, IsReadAndConvertedByInitWhichRegisters) {
    const ConfigRow& row = GetParam();
    Host host;
    row.value != nullptr ? host.env.seed(row.key, row.value) : ovra::host::erase_param("bio_module", row.key);
    host.start();
    EXPECT_THAT(converted(host), testing::HasSubstr(row.expected));
}

INSTANTIATE_TEST_SUITE_P(Init, Configuration, testing::ValuesIn(config_rows), module_test::row_name);

struct HandlerRow {
    const char* name;
    const char* type;
    const char* fields;  // "key=value" words: "event" and the reply's "count" are ints, others strings
    bool enabled_before;
    const char* outcome;
};

// clang-format off
const HandlerRow handler_rows[] = {
    {"catra_11_enables", "catra_event", "event=11", false, "enabled"},
    {"catra_12_disables", "catra_event", "event=12", true, "disabled"},
    {"catra_13_nothing", "catra_event", "event=13", false, "disabled"},
    {"catra_0_nothing", "catra_event", "event=0", true, "enabled"},
    {"catra_without_event_raises", "catra_event", "", true, "raised Invalid parameters for message catra_event, enabled"},
    {"exception_mode_normal_enables", "config_param_set", "param=exception_mode value=normal", false, "enabled"},
    {"exception_mode_locked_disables", "config_param_set", "param=exception_mode value=locked", true, "disabled"},
    {"other_param_nothing", "config_param_set", "param=var_min value=locked", true, "enabled"},
    {"enable", "bio_module_enable", "", false, "enabled, handled"},
    {"disable", "bio_module_disable", "", true, "disabled, handled"},
    {"templates_inserted", "ovra_dal_record_inserted", "table=templates", true, "enabled, recounted"},
    {"templates_updated", "ovra_dal_record_updated", "table=templates", true, "enabled, recounted"},
    {"templates_deleted", "ovra_dal_record_deleted", "table=templates", true, "enabled, recounted"},
    {"users_deleted", "ovra_dal_record_deleted", "table=users", true, "enabled, recounted"},
    {"users_inserted", "ovra_dal_record_inserted", "table=users", true, "enabled"},
    {"users_updated", "ovra_dal_record_updated", "table=users", true, "enabled"},
    // A broadcast's reply gets one entry under the count it arrived with, and the count moves on.
    {"broadcast_count_0", "identifier_broadcast_identifier_id", "count=0", false,
     "disabled, reply count=1 identifier_id_0=1651076864"},
    {"broadcast_count_2", "identifier_broadcast_identifier_id", "count=2", true,
     "enabled, reply count=3 identifier_id_2=1651076864"},
};
// clang-format on

class Handlers : public testing::TestWithParam<HandlerRow> {};

// The handlers init registered, called as the bus calls them, on a message the test keeps.
TEST_P(Handlers, ChangeTheGateTheCountAndTheHandledMark) {
    const HandlerRow& row = GetParam();
    Host host;
    ASSERT_EQ(host.start(), 1) << host.error;
    ovra::host::insert_records("templates", 3);
    ASSERT_TRUE(ovra::PostOffice::flush(5s));
    template_count.store(-1);
    set_enabled(row.enabled_before);
    ovra::Message message(row.type, 0, [](const ovra::Message&) {});
    for (const std::string& word : bio_common::split_words(row.fields)) {
        const std::string key = word.substr(0, word.find('='));
        const std::string value = word.substr(word.find('=') + 1);
        if (key == "event" || key == "count") {
            (key == "count" ? *message.reply() : message).add_int(key, std::stoi(value));
        } else {
            message.add_string(key, value);
        }
    }
    std::string outcome;
    for (const auto& listener : host.plugin.listeners()) {
        try {
            if (listener.type == row.type) {
                listener.handler(&message);
            }
        } catch (const std::exception& e) {
            outcome = "raised " + std::string(e.what()) + ", ";
        }
    }
    outcome += _enabled.load() ? "enabled" : "disabled";
    outcome += message.handled() ? ", handled" : "";
    outcome += template_count.load() == 3 ? ", recounted" : "";
    outcome += message.reply()->fields().empty() ? "" : ", reply";
    for (const auto& field : message.reply()->fields()) {
        outcome += " " + field.name + "=" + std::to_string(field.number);
    }
    EXPECT_EQ(outcome, row.outcome);
}

INSTANTIATE_TEST_SUITE_P(Handlers, Handlers, testing::ValuesIn(handler_rows), module_test::row_name);

}  // namespace
