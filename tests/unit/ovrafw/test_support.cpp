// Helpers shared by the host framework's unit tests.
#include "test_support.h"

#include <stdlib.h>

#include <filesystem>
#include <system_error>

#include "ovra/host.h"
#include "ovra/post_office.h"

namespace ovrafw_test {

std::optional<std::string> Seen::text(const std::string& name) const {
    for (const auto& f : fields) {
        if (f.name == name && f.kind == ovra::MessageField::Kind::string) {
            return f.text;
        }
    }
    return std::nullopt;
}

std::optional<std::int64_t> Seen::number(const std::string& name) const {
    for (const auto& f : fields) {
        if (f.name == name &&
            (f.kind == ovra::MessageField::Kind::integer || f.kind == ovra::MessageField::Kind::integer64)) {
            return f.number;
        }
    }
    return std::nullopt;
}

TapRecorder::TapRecorder() {
    id_ = ovra::PostOffice::add_tap([this](const ovra::TapEvent& event) {
        Seen seen;
        seen.sequence = event.sequence;
        seen.type = event.message->type();
        seen.fields = event.message->fields();
        seen.thread = std::this_thread::get_id();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            seen_.push_back(std::move(seen));
        }
        changed_.notify_all();
    });
}

TapRecorder::~TapRecorder() {
    ovra::PostOffice::remove_tap(id_);
}

std::vector<Seen> TapRecorder::messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
}

std::vector<Seen> TapRecorder::of_type(const std::string& type) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Seen> result;
    for (const auto& s : seen_) {
        if (s.type == type) {
            result.push_back(s);
        }
    }
    return result;
}

bool TapRecorder::wait_for(const std::string& type, std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        std::size_t found = 0;
        for (const auto& s : seen_) {
            found += s.type == type ? 1 : 0;
        }
        return found >= n;
    });
}

void HostTest::SetUp() {
    ovra::host::open_database(":memory:");
}

void HostTest::TearDown() {
    ovra::PostOffice::shutdown();
    ovra::host::close_database();
}

}  // namespace ovrafw_test
