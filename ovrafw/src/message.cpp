// Bus messages and the byte buffers they carry.
#include "ovra/message.h"

#include <cstring>

namespace ovra {

Buffer::Buffer(unsigned char* data, std::size_t length, bool copy) : data_(data), length_(length) {
    if (data == nullptr) {
        length_ = 0;
    } else if (copy) {
        data_ = new unsigned char[length == 0 ? 1 : length];
        std::memcpy(data_, data, length);
    }
}

Buffer::~Buffer() {
    delete[] data_;
}

const unsigned char* Buffer::data() const noexcept {
    return data_;
}

std::size_t Buffer::length() const noexcept {
    return length_;
}

Message::Message(const std::string& type, int flags, ReplyCallback on_reply)
    : type_(type), flags_(flags), on_reply_(std::move(on_reply)) {
    if (on_reply_) {
        reply_.reset(new Message(type, flags, nullptr));
    }
}

Message::~Message() = default;

const std::string& Message::type() const noexcept {
    return type_;
}

int Message::flags() const noexcept {
    return flags_;
}

const std::vector<MessageField>& Message::fields() const noexcept {
    return fields_;
}

Message* Message::reply() noexcept {
    return reply_.get();
}

const ReplyCallback& Message::reply_callback() const noexcept {
    return on_reply_;
}

void Message::set_handled() noexcept {
    handled_ = true;
}

bool Message::handled() const noexcept {
    return handled_;
}

void Message::add_int(const std::string& name, int value) {
    MessageField field;
    field.name = name;
    field.kind = MessageField::Kind::integer;
    field.number = value;
    fields_.push_back(std::move(field));
}

void Message::add_int64(const std::string& name, std::int64_t value) {
    MessageField field;
    field.name = name;
    field.kind = MessageField::Kind::integer64;
    field.number = value;
    fields_.push_back(std::move(field));
}

void Message::add_string(const std::string& name, const std::string& value) {
    MessageField field;
    field.name = name;
    field.kind = MessageField::Kind::string;
    field.text = value;
    fields_.push_back(std::move(field));
}

void Message::add_buffer(const std::string& name, Buffer* buffer) {
    // Take ownership before anything can throw, so the buffer is never lost.
    std::shared_ptr<Buffer> owned(buffer);
    MessageField field;
    field.name = name;
    field.kind = MessageField::Kind::buffer;
    field.buffer = std::move(owned);
    fields_.push_back(std::move(field));
}

int Message::change_int(const std::string& name, int value) {
    MessageField* field = find(name, MessageField::Kind::integer);
    if (field == nullptr) {
        return 0;
    }
    field->number = value;
    return 1;
}

int Message::get_int(const std::string& name, int* value) const {
    const MessageField* field = find(name, MessageField::Kind::integer);
    if (field == nullptr || value == nullptr) {
        return 0;
    }
    *value = static_cast<int>(field->number);
    return 1;
}

int Message::get_int64(const std::string& name, std::int64_t* value) const {
    const MessageField* field = find(name, MessageField::Kind::integer64);
    if (field == nullptr || value == nullptr) {
        return 0;
    }
    *value = field->number;
    return 1;
}

int Message::get_string(const std::string& name, std::string* value) const {
    const MessageField* field = find(name, MessageField::Kind::string);
    if (field == nullptr || value == nullptr) {
        return 0;
    }
    *value = field->text;
    return 1;
}

int Message::get_buffer(const std::string& name, const Buffer** value) const {
    const MessageField* field = find(name, MessageField::Kind::buffer);
    if (field == nullptr || value == nullptr) {
        return 0;
    }
    *value = field->buffer.get();
    return 1;
}

MessageField* Message::find(const std::string& name, MessageField::Kind kind) {
    for (auto& field : fields_) {
        if (field.kind == kind && field.name == name) {
            return &field;
        }
    }
    return nullptr;
}

const MessageField* Message::find(const std::string& name, MessageField::Kind kind) const {
    for (const auto& field : fields_) {
        if (field.kind == kind && field.name == name) {
            return &field;
        }
    }
    return nullptr;
}

}  // namespace ovra
