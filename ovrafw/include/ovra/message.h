// Bus messages: a type and an ordered list of named fields.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ovra/buffer.h"
#include "ovra/export.h"

namespace ovra {

class Message;

// Receives the reply of a broadcast once every listener has seen the message.
// The reply is only valid during the call.
using ReplyCallback = std::function<void(const Message& reply)>;

// One named field. Exactly one of the value members is meaningful, as `kind` says.
struct OVRA_API MessageField {
    enum class Kind { integer, integer64, string, buffer };
    std::string name;
    Kind kind = Kind::integer;
    std::int64_t number = 0;         // integer and integer64
    std::string text;                // string
    std::shared_ptr<Buffer> buffer;  // buffer (owned by the message)
};

// A bus message. Created with new and handed to PostOffice::send_message, which takes
// ownership of it and of its buffers.
class OVRA_API Message {
public:
    // `flags` is reserved for the host (0 for ordinary messages). A non-empty `on_reply`
    // makes this a broadcast: the message carries a reply that listeners extend through
    // reply(), and `on_reply` receives it when delivery is done.
    Message(const std::string& type, int flags, ReplyCallback on_reply);
    ~Message();
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;

    const std::string& type() const noexcept;
    int flags() const noexcept;

    void add_int(const std::string& name, int value);
    void add_int64(const std::string& name, std::int64_t value);
    void add_string(const std::string& name, const std::string& value);
    // Takes ownership of `buffer`.
    void add_buffer(const std::string& name, Buffer* buffer);

    // Overwrites an existing int field; returns non-zero when the field existed.
    int change_int(const std::string& name, int value);

    // Each getter returns non-zero when a field of that name and kind was read; the output
    // is left untouched otherwise.
    int get_int(const std::string& name, int* value) const;
    int get_int64(const std::string& name, std::int64_t* value) const;
    int get_string(const std::string& name, std::string* value) const;
    // The buffer stays owned by the message.
    int get_buffer(const std::string& name, const Buffer** value) const;

    const std::vector<MessageField>& fields() const noexcept;

    // The reply message of a broadcast; null for an ordinary message.
    Message* reply() noexcept;
    const ReplyCallback& reply_callback() const noexcept;

    void set_handled() noexcept;
    bool handled() const noexcept;

private:
    MessageField* find(const std::string& name, MessageField::Kind kind);
    const MessageField* find(const std::string& name, MessageField::Kind kind) const;

    std::string type_;
    int flags_;
    ReplyCallback on_reply_;
    std::unique_ptr<Message> reply_;
    std::vector<MessageField> fields_;
    bool handled_ = false;
};

}  // namespace ovra
