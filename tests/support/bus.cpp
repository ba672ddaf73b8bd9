// The one recorder of bus messages, log records and keep-alives (see bio_test/bus.h).
#include "bio_test/bus.h"

#include <algorithm>

#include "ovra/post_office.h"

namespace bio_test {

using FieldKind = ovra::MessageField::Kind;

const ovra::MessageField* Event::field(const std::string& name) const {
    for (const auto& f : fields) {
        if (f.name == name) {
            return &f;
        }
    }
    return nullptr;
}

std::optional<std::int64_t> Event::number_field(const std::string& name) const {
    const auto* f = field(name);
    return f != nullptr && (f->kind == FieldKind::integer || f->kind == FieldKind::integer64)
               ? std::optional(f->number)
               : std::nullopt;
}

std::optional<std::string> Event::string_field(const std::string& name) const {
    const auto* f = field(name);
    return f != nullptr && f->kind == FieldKind::string ? std::optional(f->text) : std::nullopt;
}

BusRecorder::BusRecorder(bool logs_and_keep_alives) {
    tap_id_ = ovra::PostOffice::add_tap([this](const ovra::TapEvent& tap) {
        Event e;
        e.at = tap.sent_at;
        e.sequence = tap.sequence;
        e.type = tap.message->type();
        e.fields = tap.message->fields();
        add(std::move(e));
    });
    if (!logs_and_keep_alives) {
        return;
    }
    sink_id_ = ovra::host::add_log_sink([this](const ovra::host::LogRecord& record) {
        Event e;
        e.kind = Event::Kind::log;
        e.level = record.level;
        e.text = record.text;
        e.function = record.function;
        add(std::move(e));
    });
    watchdog_id_ = ovra::host::add_watchdog_observer([this](const ovra::host::KeepAlive& keep_alive) {
        Event e;
        e.kind = Event::Kind::keep_alive;
        e.type = keep_alive.name;
        add(std::move(e));
    });
}

BusRecorder::~BusRecorder() {
    ovra::host::remove_watchdog_observer(watchdog_id_);  // unknown ids are ignored
    ovra::host::remove_log_sink(sink_id_);
    ovra::PostOffice::remove_tap(tap_id_);
}

void BusRecorder::add(Event event) {
    event.thread = std::this_thread::get_id();
    if (event.kind != Event::Kind::message) {
        event.at = std::chrono::steady_clock::now();
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(std::move(event));
    }
    changed_.notify_all();
}

std::vector<Event> BusRecorder::events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

std::vector<Event> BusRecorder::messages(const std::string& type) const {
    std::vector<Event> found = events();
    found.erase(
        std::remove_if(found.begin(), found.end(), [&](const Event& e) { return !e.is_message(type); }),
        found.end());
    return found;
}

std::vector<std::string> BusRecorder::log_texts(const std::string& function) const {
    std::vector<std::string> texts;
    for (auto& e : events()) {
        if (e.kind == Event::Kind::log && (function.empty() || e.function == function)) {
            texts.push_back(std::move(e.text));
        }
    }
    return texts;
}

bool BusRecorder::wait_for(const std::function<bool(const std::vector<Event>&)>& done,
                           std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return done(events_); });
}

bool BusRecorder::wait_for(const std::string& type, int n, std::chrono::milliseconds timeout) const {
    return wait_for(
        [&](const std::vector<Event>& events) {
            return std::count_if(events.begin(), events.end(),
                                 [&](const Event& e) { return e.is_message(type); }) >= n;
        },
        timeout);
}

void BusRecorder::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
}

}  // namespace bio_test
