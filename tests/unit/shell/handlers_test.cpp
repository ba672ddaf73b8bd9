// Tests of the bus handlers: the enabled gate, the broadcast reply and the template count.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bio_module.h"
#include "bio_test/legacy_support.h"
#include "ovra/host.h"
#include "ovra/message.h"
#include "ovra/ovra_exception.h"
#include "ovra/post_office.h"
#include "ovra_dal/dal.h"

namespace {

using std::chrono::milliseconds;

const std::string& templates_table() {
    return ovra_dal::bio_template::table_templates().name();
}
const std::string& users_table() {
    return ovra_dal::user::table_users().name();
}

// ---------------------------------------------------------------- catra_event

struct CatraCase {
    const char* name;
    int event;
    bool before;
    bool after;
};

void PrintTo(const CatraCase& c, std::ostream* os) {
    *os << c.name;
}

class CatraEvent : public ::testing::TestWithParam<CatraCase> {};

TEST_P(CatraEvent, ElevenEnablesTwelveDisablesOthersNothing) {
    const CatraCase& c = GetParam();
    _enabled.store(c.before);
    ovra::Message message("catra_event", 0, nullptr);
    message.add_int("event", c.event);

    on_catra_event(&message);

    EXPECT_EQ(_enabled.load(), c.after);
    EXPECT_FALSE(message.handled());
}

INSTANTIATE_TEST_SUITE_P(Handlers, CatraEvent,
                         ::testing::Values(CatraCase{"e11_enables", 11, false, true},
                                           CatraCase{"e11_keeps_enabled", 11, true, true},
                                           CatraCase{"e12_disables", 12, true, false},
                                           CatraCase{"e12_keeps_disabled", 12, false, false},
                                           CatraCase{"e13_enabled", 13, true, true},
                                           CatraCase{"e13_disabled", 13, false, false},
                                           CatraCase{"e0_enabled", 0, true, true},
                                           CatraCase{"e0_disabled", 0, false, false},
                                           CatraCase{"negative", -11, false, false}),
                         [](const auto& tp) { return std::string(tp.param.name); });

TEST(CatraEventFields, MissingEventRaisesAndChangesNothing) {
    for (const bool before : {true, false}) {
        _enabled.store(before);
        ovra::Message message("catra_event", 0, nullptr);
        message.add_string("event", "11");  // a field of another kind is not an int field

        try {
            on_catra_event(&message);
            ADD_FAILURE() << "no exception";
        } catch (const ovra::ovra_exception& e) {
            EXPECT_STREQ(e.what(), "Invalid parameters for message catra_event");
            EXPECT_TRUE(e.flag());
        }
        EXPECT_EQ(_enabled.load(), before);
    }
}

// ---------------------------------------------------------------- config_param_set

struct ParamSetCase {
    const char* name;
    std::optional<std::string> param;
    std::optional<std::string> value;
    bool before;
    bool after;
};

void PrintTo(const ParamSetCase& c, std::ostream* os) {
    *os << c.name;
}

class ConfigParamSet : public ::testing::TestWithParam<ParamSetCase> {};

TEST_P(ConfigParamSet, OnlyExceptionModeSwitches) {
    const ParamSetCase& c = GetParam();
    _enabled.store(c.before);
    ovra::Message message("config_param_set", 0, nullptr);
    if (c.param) {
        message.add_string("param", *c.param);
    }
    if (c.value) {
        message.add_string("value", *c.value);
    }

    on_config_param_set(&message);

    EXPECT_EQ(_enabled.load(), c.after);
    EXPECT_FALSE(message.handled());
}

INSTANTIATE_TEST_SUITE_P(
    Handlers, ConfigParamSet,
    ::testing::Values(ParamSetCase{"normal_enables", "exception_mode", "normal", false, true},
                      ParamSetCase{"zero_enables", "exception_mode", "0", false, true},
                      ParamSetCase{"normal_keeps_enabled", "exception_mode", "normal", true, true},
                      ParamSetCase{"other_mode_disables", "exception_mode", "emergency", true, false},
                      ParamSetCase{"one_disables", "exception_mode", "1", true, false},
                      ParamSetCase{"other_param_normal", "var_min", "normal", false, false},
                      ParamSetCase{"other_param_mode", "var_min", "emergency", true, true},
                      ParamSetCase{"missing_param", std::nullopt, "emergency", true, true},
                      ParamSetCase{"missing_both", std::nullopt, std::nullopt, false, false}),
    [](const auto& tp) { return std::string(tp.param.name); });

// ---------------------------------------------------------------- enable / disable

TEST(EnableDisable, MarkedHandledAfterTheChange) {
    _enabled.store(true);
    ovra::Message disable("bio_module_disable", 0, nullptr);
    on_bio_module_disable(&disable);
    EXPECT_FALSE(_enabled.load());
    EXPECT_TRUE(disable.handled());

    ovra::Message enable("bio_module_enable", 0, nullptr);
    on_bio_module_enable(&enable);
    EXPECT_TRUE(_enabled.load());
    EXPECT_TRUE(enable.handled());
}

TEST(EnableDisable, OtherHandlersNeverMarkHandled) {
    bio_test::ModuleEnv env;
    struct Call {
        const char* type;
        ovra::MessageHandler handler;
        std::function<void(ovra::Message&)> fill;
    };
    const std::vector<Call> calls = {
        {"identifier_broadcast_identifier_id", on_identifier_broadcast,
         [](ovra::Message& m) { m.reply()->add_int("count", 0); }},
        {"catra_event", on_catra_event, [](ovra::Message& m) { m.add_int("event", 11); }},
        {"config_param_set", on_config_param_set,
         [](ovra::Message& m) {
             m.add_string("param", "exception_mode");
             m.add_string("value", "normal");
         }},
        {"ovra_dal_record_updated", on_template_records_changed,
         [](ovra::Message& m) { m.add_string("table", templates_table()); }},
        {"ovra_dal_record_inserted", on_template_records_changed,
         [](ovra::Message& m) { m.add_string("table", templates_table()); }},
        {"ovra_dal_record_deleted", on_records_deleted,
         [](ovra::Message& m) { m.add_string("table", users_table()); }},
    };
    for (const auto& call : calls) {
        SCOPED_TRACE(call.type);
        ovra::Message message(call.type, 0, [](const ovra::Message&) {});
        call.fill(message);
        call.handler(&message);
        EXPECT_FALSE(message.handled());
    }
}

TEST(EnableDisableBus, RegisteredHandlersSwitchTheGate) {
    bio_test::ModuleEnv env;
    ovra::Plugin plugin;
    std::string error;
    ASSERT_EQ(init(&plugin, &error), 1) << error;
    std::mutex mutex;
    std::vector<std::string> failures;
    const int observer =
        ovra::PostOffice::add_error_observer([&](const std::string& type, const std::string& what) {
            std::lock_guard<std::mutex> lock(mutex);
            failures.push_back(type + ": " + what);
        });

    struct Step {
        std::function<ovra::Message*()> make;
        bool enabled_after;
    };
    const std::vector<Step> steps = {
        {[] { return new ovra::Message("bio_module_disable", 0, nullptr); }, false},
        {[] { return new ovra::Message("bio_module_enable", 0, nullptr); }, true},
        {[] {
             auto* m = new ovra::Message("catra_event", 0, nullptr);
             m->add_int("event", 12);
             return m;
         },
         false},
        {[] {
             auto* m = new ovra::Message("config_param_set", 0, nullptr);
             m->add_string("param", "exception_mode");
             m->add_string("value", "normal");
             return m;
         },
         true},
        // No "event" field: the handler's exception reaches the host, the gate stays.
        {[] { return new ovra::Message("catra_event", 0, nullptr); }, true},
    };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(i);
        ovra::PostOffice::send_message(steps[i].make());
        ASSERT_TRUE(ovra::PostOffice::flush(milliseconds(3000)));
        EXPECT_EQ(_enabled.load(), steps[i].enabled_after);
    }
    ovra::PostOffice::remove_error_observer(observer);
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(failures, std::vector<std::string>{"catra_event: Invalid parameters for message catra_event"});
    exit_module();
}

// ---------------------------------------------------------------- broadcast reply

struct BroadcastCase {
    int count;
    const char* field;
    int new_count;
};

void PrintTo(const BroadcastCase& c, std::ostream* os) {
    *os << "count " << c.count;
}

class IdentifierBroadcast : public ::testing::TestWithParam<BroadcastCase> {};

TEST_P(IdentifierBroadcast, AddsOneEntryUnderTheArrivingCount) {
    const BroadcastCase& c = GetParam();
    ovra::Message message("identifier_broadcast_identifier_id", 0, [](const ovra::Message&) {});
    ASSERT_NE(message.reply(), nullptr);
    message.reply()->add_int("count", c.count);

    on_identifier_broadcast(&message);

    const ovra::Message& reply = *message.reply();
    int id = 0;
    ASSERT_NE(reply.get_int(c.field, &id), 0) << c.field;
    EXPECT_EQ(id, 1651076864);
    int count = 0;
    ASSERT_NE(reply.get_int("count", &count), 0);
    EXPECT_EQ(count, c.new_count);
    EXPECT_EQ(reply.fields().size(), 2U);
    // The delivered message itself is untouched.
    EXPECT_TRUE(message.fields().empty());
    EXPECT_FALSE(message.handled());
}

INSTANTIATE_TEST_SUITE_P(Handlers, IdentifierBroadcast,
                         ::testing::Values(BroadcastCase{0, "identifier_id_0", 1},
                                           BroadcastCase{2, "identifier_id_2", 3},
                                           BroadcastCase{-1, "identifier_id_-1", 0}));

TEST(IdentifierBroadcastBus, ReplyReachesTheSenderThroughTheBus) {
    bio_test::ModuleEnv env;
    ovra::Plugin plugin;
    std::string error;
    ASSERT_EQ(init(&plugin, &error), 1) << error;

    std::mutex mutex;
    std::condition_variable replied;
    std::optional<int> id;
    std::optional<int> count;
    auto* message =
        new ovra::Message("identifier_broadcast_identifier_id", 0, [&](const ovra::Message& reply) {
            int value = 0;
            std::lock_guard<std::mutex> lock(mutex);
            if (reply.get_int("identifier_id_0", &value) != 0) {
                id = value;
            }
            if (reply.get_int("count", &value) != 0) {
                count = value;
            }
            replied.notify_all();
        });
    message->reply()->add_int("count", 0);
    ovra::PostOffice::send_message(message);

    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(replied.wait_for(lock, milliseconds(3000), [&] { return count.has_value(); }));
    EXPECT_EQ(id, 1651076864);
    EXPECT_EQ(count, 1);
    lock.unlock();
    exit_module();
}

// ---------------------------------------------------------------- template count

struct RecountCase {
    const char* name;
    const char* type;
    ovra::MessageHandler handler;
    enum class Table { templates, users, other, missing } table;
    bool recount;
};

void PrintTo(const RecountCase& c, std::ostream* os) {
    *os << c.name;
}

class TemplateRecount : public ::testing::TestWithParam<RecountCase> {};

TEST_P(TemplateRecount, RecountsOnlyForItsTables) {
    const RecountCase& c = GetParam();
    bio_test::ModuleEnv env;
    ovra::host::insert_records(templates_table(), 3);
    ovra::host::insert_records(users_table(), 2);
    template_count.store(-1);

    ovra::Message message(c.type, 0, nullptr);
    switch (c.table) {
        case RecountCase::Table::templates:
            message.add_string("table", templates_table());
            break;
        case RecountCase::Table::users:
            message.add_string("table", users_table());
            break;
        case RecountCase::Table::other:
            message.add_string("table", "doors");
            break;
        case RecountCase::Table::missing:
            break;
    }
    c.handler(&message);

    EXPECT_EQ(template_count.load(), c.recount ? 3 : -1);
}

using T = RecountCase::Table;
INSTANTIATE_TEST_SUITE_P(
    Handlers, TemplateRecount,
    ::testing::Values(
        RecountCase{"inserted_templates", "ovra_dal_record_inserted", on_template_records_changed,
                    T::templates, true},
        RecountCase{"updated_templates", "ovra_dal_record_updated", on_template_records_changed, T::templates,
                    true},
        RecountCase{"inserted_users", "ovra_dal_record_inserted", on_template_records_changed, T::users,
                    false},
        RecountCase{"updated_users", "ovra_dal_record_updated", on_template_records_changed, T::users, false},
        RecountCase{"inserted_other", "ovra_dal_record_inserted", on_template_records_changed, T::other,
                    false},
        RecountCase{"inserted_missing", "ovra_dal_record_inserted", on_template_records_changed, T::missing,
                    false},
        RecountCase{"deleted_templates", "ovra_dal_record_deleted", on_records_deleted, T::templates, true},
        RecountCase{"deleted_users", "ovra_dal_record_deleted", on_records_deleted, T::users, true},
        RecountCase{"deleted_other", "ovra_dal_record_deleted", on_records_deleted, T::other, false},
        RecountCase{"deleted_missing", "ovra_dal_record_deleted", on_records_deleted, T::missing, false}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST(TemplateRecountBus, DatabaseChangesReachTheCountThroughTheBus) {
    bio_test::ModuleEnv env;
    ovra::Plugin plugin;
    std::string error;
    ASSERT_EQ(init(&plugin, &error), 1) << error;
    ASSERT_EQ(template_count.load(), 0);

    ovra::host::insert_records(templates_table(), 5);
    ASSERT_TRUE(ovra::PostOffice::flush(milliseconds(3000)));
    EXPECT_EQ(template_count.load(), 5);

    EXPECT_EQ(ovra::host::delete_records(templates_table(), 2), 2);
    ASSERT_TRUE(ovra::PostOffice::flush(milliseconds(3000)));
    EXPECT_EQ(template_count.load(), 3);

    // A users change is only recounted on delete: make the count stale to see it.
    template_count.store(-1);
    ovra::host::insert_records(users_table(), 1);
    ASSERT_TRUE(ovra::PostOffice::flush(milliseconds(3000)));
    EXPECT_EQ(template_count.load(), -1);
    EXPECT_EQ(ovra::host::delete_records(users_table(), 1), 1);
    ASSERT_TRUE(ovra::PostOffice::flush(milliseconds(3000)));
    EXPECT_EQ(template_count.load(), 3);
    exit_module();
}

// ---------------------------------------------------------------- set_enabled wakes waiters

TEST(SetEnabled, UnchangedValueStillWakesEveryWaiter) {
    constexpr int waiters = 2;
    _enabled.store(true);
    std::mutex ready_mutex;
    std::condition_variable ready_cv;
    int ready = 0;
    std::vector<std::cv_status> woken(waiters, std::cv_status::timeout);
    std::vector<std::thread> threads;
    for (int i = 0; i < waiters; ++i) {
        threads.emplace_back([&, i] {
            std::unique_lock<std::mutex> lock(cv_mutex);
            {
                std::lock_guard<std::mutex> r(ready_mutex);
                ++ready;
            }
            ready_cv.notify_all();
            woken[static_cast<std::size_t>(i)] = cond_var.wait_for(lock, milliseconds(5000));
        });
    }
    {
        std::unique_lock<std::mutex> r(ready_mutex);
        ASSERT_TRUE(ready_cv.wait_for(r, milliseconds(3000), [&] { return ready == waiters; }));
    }
    // Each waiter released cv_mutex only by entering its wait.
    { std::lock_guard<std::mutex> lock(cv_mutex); }

    const auto started = std::chrono::steady_clock::now();
    set_enabled(true);
    for (auto& t : threads) {
        t.join();
    }

    EXPECT_LT(std::chrono::steady_clock::now() - started, milliseconds(4000));
    for (int i = 0; i < waiters; ++i) {
        EXPECT_EQ(woken[static_cast<std::size_t>(i)], std::cv_status::no_timeout) << "waiter " << i;
    }
    EXPECT_TRUE(_enabled.load());
}

}  // namespace
