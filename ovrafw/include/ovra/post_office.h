// The message bus: asynchronous delivery to registered listeners, in order.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "ovra/export.h"
#include "ovra/message.h"

namespace ovra {

using MessageHandler = void (*)(Message*);

// What a plug-in registers for one message type (see Plugin::add_messages_interested).
// `flag` is passed through to the bus and shown by observers; it does not change delivery.
struct MessageListener {
    std::string type;
    MessageHandler handler;
    bool flag;
};

// Observers ("taps") see every message as it is sent, before delivery, on the sender's
// thread, in send order. `sequence` counts messages from 1.
struct TapEvent {
    std::uint64_t sequence;
    std::chrono::steady_clock::time_point sent_at;
    const Message* message;
};
using Tap = std::function<void(const TapEvent&)>;

class OVRA_API PostOffice {
public:
    // Takes ownership of `message`, its buffers and their data. Delivery happens on the
    // bus's own thread: every listener registered for the type when the message is
    // delivered, in registration order; the message is freed right after. A message sent by
    // a tap is queued right after the message being tapped. A null message is ignored.
    static void send_message(Message* message);

    // ---- host side ----
    // Registers a handler for a type; returns an id for remove_listener.
    static int add_listener(const MessageListener& listener);
    // Removing a listener, tap or observer waits until no other thread is inside it, so what
    // it refers to may be freed afterwards. Unknown ids are ignored.
    static void remove_listener(int id);
    static int add_tap(Tap tap);
    static void remove_tap(int id);
    // Observers of delivery failures: a handler that threw. Called on the delivery thread.
    using HandlerErrorObserver = std::function<void(const std::string& type, const std::string& what)>;
    static int add_error_observer(HandlerErrorObserver observer);
    static void remove_error_observer(int id);
    // Waits until every message sent before the call has been delivered; false on time-out
    // (at once when called from a handler, which cannot wait for its own delivery).
    static bool flush(std::chrono::milliseconds timeout);
    // Stops the delivery thread after draining the queue; listeners and taps are removed.
    // send_message restarts it. Used at host shutdown and between tests.
    static void shutdown();
};

}  // namespace ovra
