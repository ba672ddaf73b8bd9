// The message bus: taps on the sender's thread, delivery to listeners on one thread of its own.
#include "ovra/post_office.h"

#include <pthread.h>

#include <deque>
#include <vector>

#include "ovra/log.h"
#include "internal.h"

namespace ovra {
namespace {

struct Pending {
    std::uint64_t sequence;
    std::unique_ptr<Message> message;
};

struct Bus {
    // Held across sequence numbering, the taps and enqueueing, so that taps see messages in
    // the order of delivery.
    std::mutex send_mutex;
    std::uint64_t last_sequence = 0;  // under send_mutex

    std::mutex mutex;                  // guards everything below
    std::condition_variable wake;      // queue grew or stop was requested
    std::condition_variable progress;  // delivered advanced or the thread ended
    std::deque<Pending> queue;
    std::uint64_t enqueued = 0;   // sequence of the last message queued
    std::uint64_t delivered = 0;  // sequence of the last message fully delivered
    bool running = false;
    bool stop = false;
    std::thread thread;

    detail::Registry<MessageListener> listeners;
    detail::Registry<Tap> taps;
    detail::Registry<PostOffice::HandlerErrorObserver> error_observers;
};

// Never destroyed: a plug-in may still send while the process exits.
Bus& bus() {
    static Bus* instance = new Bus;
    return *instance;
}

// Per-thread state is plain data only: a thread_local with a destructor registers it, on the thread's
// first use, under the dynamic loader's lock, and a plug-in's thread sending its first message would
// then wait for a dlclose that is waiting for that thread to leave the plug-in.
thread_local bool on_delivery_thread = false;

// Messages that a tap sent from inside its call on this thread, into the queue of the send_message
// call below it on the stack: they are sent right after the message being tapped, so sequence numbers
// stay in delivery order. Null outside the taps.
using TapSends = std::vector<std::unique_ptr<Message>>;
thread_local TapSends* sent_by_taps = nullptr;

// Points this thread's tap sends at `queue` for its lifetime, also when a tap's unwinding leaves.
struct InsideTaps {
    explicit InsideTaps(TapSends& queue) : outer(sent_by_taps) { sent_by_taps = &queue; }
    ~InsideTaps() { sent_by_taps = outer; }
    InsideTaps(const InsideTaps&) = delete;
    InsideTaps& operator=(const InsideTaps&) = delete;
    TapSends* outer;
};

// Calls every listener of the message's type, then the broadcast's reply callback. A handler
// that throws is logged and reported to the error observers; delivery goes on.
void deliver(Bus& b, Message& message) {
    const std::string type = message.type();
    b.listeners.for_each(&type, [&](const MessageListener& listener) {
        if (listener.handler == nullptr) {
            return;
        }
        if (auto failure = detail::failure_of([&] { listener.handler(&message); })) {
            error::log("handler for " + type + " failed: " + *failure);
            b.error_observers.notify(type, *failure);
        }
    });
    if (message.reply_callback() && message.reply() != nullptr) {
        if (auto failure = detail::failure_of([&] { message.reply_callback()(*message.reply()); })) {
            error::log("reply callback for " + type + " failed: " + *failure);
        }
    }
}

void delivery_loop(Bus& b) {
    on_delivery_thread = true;
    pthread_setname_np(pthread_self(), "ovra_bus");
    std::unique_lock<std::mutex> lock(b.mutex);
    for (;;) {
        b.wake.wait(lock, [&] { return !b.queue.empty() || b.stop; });
        if (b.queue.empty()) {
            // Stop requested and everything drained.
            b.running = false;
            b.stop = false;
            b.progress.notify_all();
            return;
        }
        Pending next = std::move(b.queue.front());
        b.queue.pop_front();
        lock.unlock();
        deliver(b, *next.message);
        next.message.reset();  // the message, its reply and its buffers end here
        lock.lock();
        b.delivered = next.sequence;
        b.progress.notify_all();
    }
}

// Numbers one message, shows it to the taps (what they send goes to `tap_sends`) and queues it for
// delivery.
void post_one(Bus& b, std::unique_ptr<Message> owned, TapSends& tap_sends) {
    std::lock_guard<std::mutex> send_lock(b.send_mutex);
    const TapEvent event{++b.last_sequence, std::chrono::steady_clock::now(), owned.get()};
    {
        const InsideTaps inside(tap_sends);
        b.taps.for_each(nullptr, [&event](const Tap& tap) {
            if (auto failure = detail::failure_of([&] { tap(event); })) {
                error::log("bus tap failed: " + *failure);
            }
        });
    }
    {
        std::lock_guard<std::mutex> lock(b.mutex);
        b.queue.push_back(Pending{event.sequence, std::move(owned)});
        b.enqueued = event.sequence;
        if (!b.running) {
            b.running = true;
            b.thread = std::thread(delivery_loop, std::ref(b));
        }
    }
    b.wake.notify_one();
}

}  // namespace

void PostOffice::send_message(Message* message) {
    if (message == nullptr) {
        return;
    }
    std::unique_ptr<Message> owned(message);
    if (sent_by_taps != nullptr) {
        sent_by_taps->push_back(std::move(owned));
        return;
    }
    Bus& b = bus();
    TapSends tap_sends;
    post_one(b, std::move(owned), tap_sends);
    // A message sent by a tap is itself tapped, and what those taps send is appended in turn.
    for (std::size_t i = 0; i < tap_sends.size(); ++i) {
        post_one(b, std::move(tap_sends[i]), tap_sends);
    }
}

int PostOffice::add_listener(const MessageListener& listener) {
    return bus().listeners.add(listener, listener.type);
}

void PostOffice::remove_listener(int id) {
    bus().listeners.remove(id);
}

int PostOffice::add_tap(Tap tap) {
    return bus().taps.add(std::move(tap));
}

void PostOffice::remove_tap(int id) {
    bus().taps.remove(id);
}

int PostOffice::add_error_observer(HandlerErrorObserver observer) {
    return bus().error_observers.add(std::move(observer));
}

void PostOffice::remove_error_observer(int id) {
    bus().error_observers.remove(id);
}

bool PostOffice::flush(std::chrono::milliseconds timeout) {
    Bus& b = bus();
    std::unique_lock<std::mutex> lock(b.mutex);
    const std::uint64_t target = b.enqueued;
    if (b.delivered >= target) {
        return true;
    }
    if (on_delivery_thread) {
        // The message being delivered now cannot finish while its handler waits here.
        return false;
    }
    return b.progress.wait_for(lock, timeout, [&] { return b.delivered >= target; });
}

void PostOffice::shutdown() {
    Bus& b = bus();
    if (on_delivery_thread) {
        error::log("PostOffice::shutdown called from a message handler; ignored");
        return;
    }
    std::thread stopping;
    {
        std::lock_guard<std::mutex> lock(b.mutex);
        if (b.running && b.thread.joinable()) {
            b.stop = true;
            stopping = std::move(b.thread);
        }
    }
    b.wake.notify_all();
    if (stopping.joinable()) {
        stopping.join();
    }
    b.listeners.clear();
    b.taps.clear();
    b.error_observers.clear();
}

}  // namespace ovra
