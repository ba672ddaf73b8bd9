// The stand-in bus and plug-in loader where the module's tests and bio-host rely on them: delivery
// in send order on one thread of its own, to the listeners of the type in registration order, a
// throwing handler logged without stopping the others, taps seeing every message in that order, a
// broadcast's reply extended by every listener and handed to the sender; the loader's refusals.
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "bio_test/bus.h"
#include "ovra/host.h"
#include "ovra/message.h"
#include "ovra/ovra_exception.h"
#include "ovra/post_office.h"

namespace {

using namespace std::chrono_literals;
using ovra::Message;
using ovra::PostOffice;

// What the listeners saw ("<listener><n>") and on which thread: handlers are plain functions.
std::mutex seen_mutex;
std::vector<std::string> seen;
std::vector<std::thread::id> seen_on;

template <char name>
void listener(Message* message) {
    int n = -1;
    message->get_int("n", &n);
    std::lock_guard<std::mutex> lock(seen_mutex);
    seen.push_back(name + std::to_string(n));
    seen_on.push_back(std::this_thread::get_id());
}
void throwing(Message*) {
    throw ovra::ovra_exception("boom", true);
}

// Holds delivery until the test has queued everything behind it.
std::promise<void> release;
const std::shared_future<void> released = release.get_future().share();
void hold(Message*) {
    released.wait_for(5s);
}

// Extends a broadcast's reply as an answering module does.
void answer(Message* message) {
    Message* reply = message->reply();
    int count = -1;
    reply->get_int("count", &count);
    reply->add_int("identifier_id_" + std::to_string(count), 100 + count);
    reply->change_int("count", count + 1);
}

Message* numbered(const std::string& type, int n) {
    auto* message = new Message(type, 0, nullptr);
    message->add_int("n", n);
    return message;
}

class OvraBus : public testing::Test {
protected:
    void TearDown() override { PostOffice::shutdown(); }
};

TEST_F(OvraBus, DeliversInSendOrderOnOneThreadOfItsOwnPastAThrowingHandler) {
    bio_test::BusRecorder recorder(true);
    PostOffice::add_listener({"hold", hold, false});
    PostOffice::add_listener({"t", throwing, false});
    PostOffice::add_listener({"t", listener<'b'>, false});
    PostOffice::add_listener({"u", listener<'b'>, false});
    PostOffice::add_listener({"t", listener<'a'>, true});
    PostOffice::send_message(numbered("hold", 0));
    std::vector<std::string> expected;
    for (int n = 0; n < 5; ++n) {
        PostOffice::send_message(numbered("t", n));
        expected.insert(expected.end(), {"b" + std::to_string(n), "a" + std::to_string(n)});
    }
    release.set_value();
    ASSERT_TRUE(PostOffice::flush(5s));
    EXPECT_EQ(seen, expected);
    for (const std::thread::id& thread : seen_on) {
        EXPECT_NE(thread, std::this_thread::get_id());
        EXPECT_EQ(thread, seen_on.front());
    }
    const std::vector<bio_test::Event> tapped = recorder.messages("t");
    ASSERT_EQ(tapped.size(), 5u);
    for (std::size_t i = 0; i < tapped.size(); ++i) {
        EXPECT_EQ(tapped[i].sequence, i + 2);
        EXPECT_EQ(tapped[i].number_field("n"), static_cast<std::int64_t>(i));
    }
    EXPECT_EQ(recorder.log_texts(), std::vector<std::string>(5, "handler for t failed: boom"));
}

TEST_F(OvraBus, BroadcastReplyIsExtendedByEveryListenerThenHandedToTheSender) {
    PostOffice::add_listener({"identifier_broadcast_identifier_id", answer, false});
    PostOffice::add_listener({"identifier_broadcast_identifier_id", answer, false});
    std::promise<std::string> replied;
    auto* broadcast = new Message("identifier_broadcast_identifier_id", 0, [&replied](const Message& reply) {
        std::string fields;
        for (const ovra::MessageField& field : reply.fields()) {
            fields += field.name + "=" + std::to_string(field.number) + " ";
        }
        replied.set_value(fields);
    });
    broadcast->reply()->add_int("count", 0);
    PostOffice::send_message(broadcast);
    std::future<std::string> reply = replied.get_future();
    ASSERT_EQ(reply.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(reply.get(), "count=2 identifier_id_0=100 identifier_id_1=101 ");
}

TEST(OvraMessage, OrdinaryOneHasNoReplyAndKeepsTheHandledMark) {
    Message message("bio_module_enable", 0, nullptr);
    EXPECT_EQ(message.reply(), nullptr);
    EXPECT_FALSE(message.handled());
    message.set_handled();
    EXPECT_TRUE(message.handled());
}

// bio-host shows an init's own text after "init failed: ", and other failures as they are. (A
// plug-in that loads, and the end of its run, are seen in every end-to-end run.)
TEST(OvraLoader, RefusesWithOneLine) {
    const std::pair<std::string, std::string> refusals[] = {
        {"/nonexistent/lib.so", "plugin /nonexistent/lib.so: no such file"},
        {NO_INIT_PLUGIN, "plugin " NO_INIT_PLUGIN ": no 'init' symbol"},
        {REFUSING_PLUGIN, "plugin " REFUSING_PLUGIN ": init failed: camera not found"}};
    for (const auto& [path, line] : refusals) {
        ovra::host::PluginHost host;
        std::string error;
        EXPECT_FALSE(host.load(path, &error));
        EXPECT_EQ(error, line);
    }
}

}  // namespace
