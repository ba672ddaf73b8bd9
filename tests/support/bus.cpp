// The one recorder of bus messages, log records and keep-alives (see bio_test/bus.h).
#include "bio_test/bus.h"

#include <algorithm>

#include "ovra/post_office.h"

namespace bio_test {

using FieldKind = ovra::MessageField::Kind;

const ovra::MessageField* Event::field(const std::string& name) const {
    const auto it = std::find_if(fields.begin(), fields.end(), [&](const auto& f) { return f.name == name; });
    return it == fields.end() ? nullptr : &*it;
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
    using Kind = Event::Kind;
    tap_id_ = ovra::PostOffice::add_tap([this](const ovra::TapEvent& t) {
        add({Kind::message, {}, t.sent_at, t.sequence, t.message->type(), t.message->fields(), {}, {}, {}});
    });
    if (logs_and_keep_alives) {
        sink_id_ = ovra::host::add_log_sink([this](const ovra::host::LogRecord& r) {
            add({Kind::log, {}, {}, 0, {}, {}, r.level, r.text, r.function});
        });
        watchdog_id_ = ovra::host::add_watchdog_observer([this](const ovra::host::KeepAlive& k) {
            add({Kind::keep_alive, {}, {}, 0, k.name, {}, {}, {}, {}});
        });
    }
}

BusRecorder::~BusRecorder() {
    ovra::host::remove_watchdog_observer(watchdog_id_);  // unknown ids are ignored
    ovra::host::remove_log_sink(sink_id_);
    ovra::PostOffice::remove_tap(tap_id_);
}

void BusRecorder::add(Event event) {
    event.thread = std::this_thread::get_id();
    event.at = event.kind == Event::Kind::message ? event.at : std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(event));
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
