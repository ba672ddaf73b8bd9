// The message bus: delivery order and thread, listener order, taps, broadcasts and their
// replies, ownership of messages and buffers, failing handlers, flush and shutdown.
#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ovra/host.h"
#include "ovra/message.h"
#include "ovra/ovra_exception.h"
#include "ovra/post_office.h"
#include "test_support.h"

namespace {

using ovra::Message;
using ovra::PostOffice;
using ovrafw_test::kWait;
using ::testing::ElementsAre;

// What the handlers below saw; handlers are plain functions, so this is process-wide.
struct Journal {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> entries;
    std::vector<std::thread::id> threads;

    void add(const std::string& entry) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            entries.push_back(entry);
            threads.push_back(std::this_thread::get_id());
        }
        changed.notify_all();
    }
    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return entries;
    }
    std::vector<std::thread::id> thread_snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return threads;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex);
        entries.clear();
        threads.clear();
    }
};

Journal journal;

std::string number_of(const Message* message) {
    int n = -1;
    message->get_int("n", &n);
    return std::to_string(n);
}

void handler_a(Message* m) {
    journal.add("A" + number_of(m));
}
void handler_b(Message* m) {
    journal.add("B" + number_of(m));
}
void handler_c(Message* m) {
    journal.add("C" + number_of(m));
}
void throwing_handler(Message*) {
    throw ovra::ovra_exception("boom", true);
}
void throwing_other_handler(Message*) {
    throw 42;
}

// Extends a broadcast's reply the way an answering module does.
void answer_with_index(Message* m) {
    Message* reply = m->reply();
    if (reply == nullptr) {
        journal.add("no reply");
        return;
    }
    int count = -1;
    reply->get_int("count", &count);
    reply->add_int("identifier_id_" + std::to_string(count), 100 + count);
    reply->change_int("count", count + 1);
}

void record_reply_presence(Message* m) {
    journal.add(m->reply() == nullptr ? "no reply" : "reply");
}

// Sends "pong" from inside a handler, as a plug-in answering a request does.
void ping_handler(Message* m) {
    auto* pong = new Message("pong", 0, nullptr);
    pong->add_int("n", std::stoi(number_of(m)));
    PostOffice::send_message(pong);
}

// A handler that blocks until the test opens the gate.
struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;
    bool entered = false;
};
Gate gate;
void gated_handler(Message* m) {
    std::unique_lock<std::mutex> lock(gate.mutex);
    gate.entered = true;
    gate.cv.notify_all();
    gate.cv.wait_for(lock, kWait, [] { return gate.open; });
    journal.add("G" + number_of(m));
}

Message* numbered(const std::string& type, int n) {
    auto* message = new Message(type, 0, nullptr);
    message->add_int("n", n);
    return message;
}

class OvraBus : public ovrafw_test::HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        journal.clear();
    }
};

TEST_F(OvraBus, DeliversInSendOrderOnItsOwnThread) {
    PostOffice::add_listener({"t", handler_a, false});
    for (int i = 0; i < 50; ++i) {
        PostOffice::send_message(numbered("t", i));
    }
    ASSERT_TRUE(PostOffice::flush(kWait));
    std::vector<std::string> expected;
    for (int i = 0; i < 50; ++i) {
        expected.push_back("A" + std::to_string(i));
    }
    EXPECT_EQ(journal.snapshot(), expected);
    const auto threads = journal.thread_snapshot();
    ASSERT_EQ(threads.size(), 50u);
    for (const auto& t : threads) {
        EXPECT_NE(t, std::this_thread::get_id());
        EXPECT_EQ(t, threads.front());
    }
}

TEST_F(OvraBus, ListenersRunInRegistrationOrderAndOnlyForTheirType) {
    PostOffice::add_listener({"t", handler_b, true});
    PostOffice::add_listener({"other", handler_c, false});
    PostOffice::add_listener({"t", handler_a, false});
    PostOffice::send_message(numbered("t", 1));
    PostOffice::send_message(numbered("t", 2));
    ASSERT_TRUE(PostOffice::flush(kWait));
    EXPECT_THAT(journal.snapshot(), ElementsAre("B1", "A1", "B2", "A2"));
}

TEST_F(OvraBus, RemovedListenerIsNotCalled) {
    const int a = PostOffice::add_listener({"t", handler_a, false});
    PostOffice::add_listener({"t", handler_b, false});
    PostOffice::remove_listener(a);
    PostOffice::remove_listener(12345);  // unknown ids are ignored
    PostOffice::send_message(numbered("t", 1));
    ASSERT_TRUE(PostOffice::flush(kWait));
    EXPECT_THAT(journal.snapshot(), ElementsAre("B1"));
}

// Two senders race; the taps must see one numbered sequence, on the senders' threads, and
// delivery must follow the taps' order exactly.
TEST_F(OvraBus, TapsSeeEveryMessageInDeliveryOrder) {
    ovrafw_test::TapRecorder tap;
    PostOffice::add_listener({"t", handler_a, false});
    auto sender = [](int base) {
        for (int i = 0; i < 100; ++i) {
            PostOffice::send_message(numbered("t", base + i));
        }
    };
    std::thread first(sender, 0);
    std::thread second(sender, 1000);
    const std::thread::id first_id = first.get_id();
    const std::thread::id second_id = second.get_id();
    first.join();
    second.join();
    ASSERT_TRUE(PostOffice::flush(kWait));

    const auto seen = tap.messages();
    ASSERT_EQ(seen.size(), 200u);
    std::vector<std::string> tapped;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        if (i > 0) {
            EXPECT_EQ(seen[i].sequence, seen[i - 1].sequence + 1);
        }
        const std::int64_t n = seen[i].number("n").value_or(-1);
        EXPECT_EQ(seen[i].thread, n < 1000 ? first_id : second_id);
        tapped.push_back("A" + std::to_string(n));
    }
    EXPECT_EQ(journal.snapshot(), tapped);
}

TEST_F(OvraBus, BroadcastReplyIsExtendedByEveryListenerAndHandedToTheCallback) {
    PostOffice::add_listener({"identifier_broadcast_identifier_id", answer_with_index, false});
    PostOffice::add_listener({"identifier_broadcast_identifier_id", answer_with_index, false});

    std::mutex mutex;
    std::condition_variable done;
    std::vector<ovra::MessageField> reply_fields;
    std::string reply_type;
    bool called = false;
    auto* broadcast = new Message("identifier_broadcast_identifier_id", 0, [&](const Message& reply) {
        std::lock_guard<std::mutex> lock(mutex);
        reply_fields = reply.fields();
        reply_type = reply.type();
        called = true;
        done.notify_all();
    });
    ASSERT_NE(broadcast->reply(), nullptr);
    broadcast->reply()->add_int("count", 0);
    PostOffice::send_message(broadcast);

    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(done.wait_for(lock, kWait, [&] { return called; }));
    EXPECT_EQ(reply_type, "identifier_broadcast_identifier_id");
    ASSERT_EQ(reply_fields.size(), 3u);
    EXPECT_EQ(reply_fields[0].name, "count");
    EXPECT_EQ(reply_fields[0].number, 2);
    EXPECT_EQ(reply_fields[1].name, "identifier_id_0");
    EXPECT_EQ(reply_fields[1].number, 100);
    EXPECT_EQ(reply_fields[2].name, "identifier_id_1");
    EXPECT_EQ(reply_fields[2].number, 101);
}

TEST_F(OvraBus, OrdinaryMessageHasNoReply) {
    PostOffice::add_listener({"t", record_reply_presence, false});
    PostOffice::send_message(new Message("t", 0, nullptr));
    PostOffice::send_message(new Message("t", 0, [](const Message&) {}));
    ASSERT_TRUE(PostOffice::flush(kWait));
    EXPECT_THAT(journal.snapshot(), ElementsAre("no reply", "reply"));
}

// The bus owns a sent message and its buffers and frees them once delivered; a tap's copy
// of the field shares the buffer, so the buffer lives until that copy goes too.
TEST_F(OvraBus, MessageAndBuffersAreReleasedAfterDelivery) {
    std::weak_ptr<ovra::Buffer> watched;
    std::vector<ovra::MessageField> copy;
    const int tap = PostOffice::add_tap([&](const ovra::TapEvent& event) {
        copy = event.message->fields();
        watched = copy.back().buffer;
    });
    PostOffice::add_listener({"image", handler_a, false});
    auto* message = numbered("image", 9);
    auto* pixels = new unsigned char[4]{1, 2, 3, 4};
    message->add_buffer("image", new ovra::Buffer(pixels, 4, false));
    PostOffice::send_message(message);
    ASSERT_TRUE(PostOffice::flush(kWait));
    PostOffice::remove_tap(tap);
    ASSERT_FALSE(watched.expired());
    EXPECT_EQ(watched.lock()->data()[3], 4);
    copy.clear();
    EXPECT_TRUE(watched.expired());
    EXPECT_THAT(journal.snapshot(), ElementsAre("A9"));
}

TEST_F(OvraBus, ManyMessagesWithBuffersAreAllFreed) {
    // Nothing to observe but the absence of leaks under the address sanitizer.
    PostOffice::add_listener({"image", handler_a, false});
    for (int i = 0; i < 200; ++i) {
        auto* message = numbered("image", i);
        message->add_buffer("image", new ovra::Buffer(new unsigned char[1024](), 1024, false));
        unsigned char local[3] = {7, 8, 9};
        message->add_buffer("copy", new ovra::Buffer(local, sizeof local, true));
        PostOffice::send_message(message);
    }
    ASSERT_TRUE(PostOffice::flush(kWait));
    EXPECT_EQ(journal.snapshot().size(), 200u);
}

TEST_F(OvraBus, ThrowingHandlerIsLoggedAndDeliveryGoesOn) {
    ovra::host::MemoryLogSink log;
    std::mutex mutex;
    std::vector<std::string> failures;
    PostOffice::add_error_observer([&](const std::string& type, const std::string& what) {
        std::lock_guard<std::mutex> lock(mutex);
        failures.push_back(type + ": " + what);
    });
    PostOffice::add_listener({"t", throwing_handler, false});
    PostOffice::add_listener({"t", handler_a, false});
    PostOffice::add_listener({"u", throwing_other_handler, false});
    PostOffice::send_message(numbered("t", 1));
    PostOffice::send_message(numbered("u", 2));
    PostOffice::send_message(numbered("t", 3));
    ASSERT_TRUE(PostOffice::flush(kWait));

    EXPECT_THAT(journal.snapshot(), ElementsAre("A1", "A3"));
    EXPECT_EQ(log.count("handler for t failed: boom"), 2);
    EXPECT_EQ(log.count("handler for u failed: unknown exception"), 1);
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_THAT(failures, ElementsAre("t: boom", "u: unknown exception", "t: boom"));
}

TEST_F(OvraBus, HandlerMaySendMessages) {
    PostOffice::add_listener({"ping", ping_handler, false});
    PostOffice::add_listener({"pong", handler_b, false});
    PostOffice::send_message(numbered("ping", 5));
    ASSERT_TRUE(PostOffice::flush(kWait));  // the ping is delivered and the pong queued
    ASSERT_TRUE(PostOffice::flush(kWait));  // the pong is delivered
    EXPECT_THAT(journal.snapshot(), ElementsAre("B5"));
}

TEST_F(OvraBus, MessageSentByATapFollowsTheTappedMessage) {
    ovrafw_test::TapRecorder recorder;
    const int tap = PostOffice::add_tap([](const ovra::TapEvent& event) {
        if (event.message->type() == "t") {
            PostOffice::send_message(numbered("echo", 0));
        }
    });
    PostOffice::add_listener({"t", handler_a, false});
    PostOffice::add_listener({"echo", handler_b, false});
    PostOffice::send_message(numbered("t", 1));
    ASSERT_TRUE(PostOffice::flush(kWait));
    PostOffice::remove_tap(tap);
    EXPECT_THAT(journal.snapshot(), ElementsAre("A1", "B0"));
    const auto seen = recorder.messages();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].type, "t");
    EXPECT_EQ(seen[1].type, "echo");
    EXPECT_EQ(seen[1].sequence, seen[0].sequence + 1);
}

TEST_F(OvraBus, FlushWaitsForEveryMessageSentBeforeIt) {
    {
        std::lock_guard<std::mutex> lock(gate.mutex);
        gate.open = false;
        gate.entered = false;
    }
    PostOffice::add_listener({"slow", gated_handler, false});
    PostOffice::send_message(numbered("slow", 1));
    PostOffice::send_message(numbered("slow", 2));
    {
        std::unique_lock<std::mutex> lock(gate.mutex);
        ASSERT_TRUE(gate.cv.wait_for(lock, kWait, [] { return gate.entered; }));
    }
    EXPECT_FALSE(PostOffice::flush(std::chrono::milliseconds(50)));
    {
        std::lock_guard<std::mutex> lock(gate.mutex);
        gate.open = true;
    }
    gate.cv.notify_all();
    ASSERT_TRUE(PostOffice::flush(kWait));
    EXPECT_THAT(journal.snapshot(), ElementsAre("G1", "G2"));
}

TEST_F(OvraBus, FlushWithNothingSentReturnsAtOnce) {
    EXPECT_TRUE(PostOffice::flush(std::chrono::milliseconds(0)));
}

TEST_F(OvraBus, ShutdownDrainsRemovesListenersAndALaterSendRestarts) {
    PostOffice::add_listener({"t", handler_a, false});
    for (int i = 0; i < 20; ++i) {
        PostOffice::send_message(numbered("t", i));
    }
    PostOffice::shutdown();
    EXPECT_EQ(journal.snapshot().size(), 20u);

    PostOffice::send_message(numbered("t", 99));  // no listener any more
    ASSERT_TRUE(PostOffice::flush(kWait));
    PostOffice::add_listener({"t", handler_b, false});
    PostOffice::send_message(numbered("t", 100));
    ASSERT_TRUE(PostOffice::flush(kWait));
    const auto entries = journal.snapshot();
    ASSERT_EQ(entries.size(), 21u);
    EXPECT_EQ(entries.back(), "B100");
}

TEST_F(OvraBus, RemovingAListenerWaitsForItsRunningCall) {
    {
        std::lock_guard<std::mutex> lock(gate.mutex);
        gate.open = false;
        gate.entered = false;
    }
    const int id = PostOffice::add_listener({"slow", gated_handler, false});
    PostOffice::send_message(numbered("slow", 1));
    {
        std::unique_lock<std::mutex> lock(gate.mutex);
        ASSERT_TRUE(gate.cv.wait_for(lock, kWait, [] { return gate.entered; }));
    }
    std::mutex mutex;
    std::condition_variable removed_cv;
    bool removed = false;
    std::thread remover([&] {
        PostOffice::remove_listener(id);
        std::lock_guard<std::mutex> lock(mutex);
        removed = true;
        removed_cv.notify_all();
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        EXPECT_FALSE(removed_cv.wait_for(lock, std::chrono::milliseconds(50), [&] { return removed; }));
    }
    {
        std::lock_guard<std::mutex> lock(gate.mutex);
        gate.open = true;
    }
    gate.cv.notify_all();
    remover.join();
    EXPECT_TRUE(removed);
    EXPECT_THAT(journal.snapshot(), ElementsAre("G1"));  // the call that was running completed
}

// Senders, a handler that answers, taps coming and going and listeners being added: every
// message is delivered once and the bus stays consistent (the thread sanitizer watches).
TEST_F(OvraBus, ConcurrentSendersTapsAndListeners) {
    std::atomic<int> tapped{0};
    PostOffice::add_listener({"ping", ping_handler, false});
    const int pong = PostOffice::add_listener({"pong", handler_a, false});
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 300; ++i) {
                auto* message = numbered("ping", t * 1000 + i);
                message->add_buffer("payload", new ovra::Buffer(new unsigned char[64](), 64, false));
                PostOffice::send_message(message);
            }
        });
    }
    threads.emplace_back([&tapped] {
        for (int i = 0; i < 50; ++i) {
            const int id = PostOffice::add_tap([&tapped](const ovra::TapEvent&) { ++tapped; });
            PostOffice::remove_tap(id);
        }
    });
    threads.emplace_back([] {
        for (int i = 0; i < 50; ++i) {
            PostOffice::remove_listener(PostOffice::add_listener({"pong", handler_c, false}));
        }
    });
    for (auto& t : threads) {
        t.join();
    }
    ASSERT_TRUE(PostOffice::flush(kWait));  // every ping delivered, every pong queued
    ASSERT_TRUE(PostOffice::flush(kWait));  // every pong delivered
    PostOffice::remove_listener(pong);
    std::size_t answered = 0;
    for (const auto& entry : journal.snapshot()) {
        answered += entry[0] == 'A' ? 1 : 0;
    }
    EXPECT_EQ(answered, 900u);
}

TEST_F(OvraBus, NullMessageIsIgnored) {
    ovrafw_test::TapRecorder tap;
    PostOffice::send_message(nullptr);
    EXPECT_TRUE(PostOffice::flush(kWait));
    EXPECT_TRUE(tap.messages().empty());
}

TEST(OvraMessage, FieldsKeepOrderAndGettersReadOnlyTheirKind) {
    Message message("t", 3, nullptr);
    message.add_int("count", 2);
    message.add_int64("device_id", 1LL << 40);
    message.add_string("uuid", "abc");
    message.add_buffer("image", new ovra::Buffer(new unsigned char[2]{5, 6}, 2, false));
    EXPECT_EQ(message.type(), "t");
    EXPECT_EQ(message.flags(), 3);
    ASSERT_EQ(message.fields().size(), 4u);
    EXPECT_EQ(message.fields()[0].name, "count");
    EXPECT_EQ(message.fields()[3].name, "image");

    int number = -1;
    std::int64_t wide = -1;
    std::string text = "untouched";
    const ovra::Buffer* buffer = nullptr;
    EXPECT_NE(message.get_int("count", &number), 0);
    EXPECT_EQ(number, 2);
    EXPECT_NE(message.get_int64("device_id", &wide), 0);
    EXPECT_EQ(wide, 1LL << 40);
    EXPECT_NE(message.get_string("uuid", &text), 0);
    EXPECT_EQ(text, "abc");
    ASSERT_NE(message.get_buffer("image", &buffer), 0);
    EXPECT_EQ(buffer->length(), 2u);
    EXPECT_EQ(buffer->data()[1], 6);

    number = -1;
    text = "untouched";
    EXPECT_EQ(message.get_int("uuid", &number), 0);
    EXPECT_EQ(message.get_int("missing", &number), 0);
    EXPECT_EQ(number, -1);
    EXPECT_EQ(message.get_string("count", &text), 0);
    EXPECT_EQ(text, "untouched");
}

TEST(OvraMessage, ChangeIntOverwritesOnlyAnExistingIntField) {
    Message message("t", 0, nullptr);
    message.add_int("count", 1);
    message.add_string("name", "x");
    EXPECT_NE(message.change_int("count", 7), 0);
    EXPECT_EQ(message.change_int("name", 7), 0);
    EXPECT_EQ(message.change_int("missing", 7), 0);
    int count = 0;
    message.get_int("count", &count);
    EXPECT_EQ(count, 7);
    EXPECT_EQ(message.fields().size(), 2u);
}

TEST(OvraMessage, BufferCopyLeavesTheCallersData) {
    unsigned char local[3] = {1, 2, 3};
    ovra::Buffer copy(local, sizeof local, true);
    local[0] = 9;
    EXPECT_NE(copy.data(), local);
    EXPECT_EQ(copy.data()[0], 1);
    EXPECT_EQ(copy.length(), 3u);
}

}  // namespace
