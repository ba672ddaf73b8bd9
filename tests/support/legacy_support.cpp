// Shared test fixture for the module's suites (see bio_test/legacy_support.h).
#include "bio_test/legacy_support.h"

#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "ovra/post_office.h"

namespace bio_test {

const ovra::MessageField* SeenMessage::field(const std::string& name) const {
    for (const auto& f : fields) {
        if (f.name == name) {
            return &f;
        }
    }
    return nullptr;
}

std::optional<std::int64_t> SeenMessage::number(const std::string& name) const {
    for (const auto& f : fields) {
        if (f.name == name &&
            (f.kind == ovra::MessageField::Kind::integer || f.kind == ovra::MessageField::Kind::integer64)) {
            return f.number;
        }
    }
    return std::nullopt;
}

std::optional<std::string> SeenMessage::text(const std::string& name) const {
    for (const auto& f : fields) {
        if (f.name == name && f.kind == ovra::MessageField::Kind::string) {
            return f.text;
        }
    }
    return std::nullopt;
}

BusTap::BusTap() {
    id_ = ovra::PostOffice::add_tap([this](const ovra::TapEvent& event) {
        SeenMessage seen;
        seen.sequence = event.sequence;
        seen.sent_at = event.sent_at;
        seen.type = event.message->type();
        seen.flags = event.message->flags();
        seen.fields = event.message->fields();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            seen_.push_back(std::move(seen));
        }
        changed_.notify_all();
    });
}

BusTap::~BusTap() {
    ovra::PostOffice::remove_tap(id_);
}

std::vector<SeenMessage> BusTap::messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
}

std::vector<SeenMessage> BusTap::of_type(const std::string& type) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<SeenMessage> result;
    for (const auto& m : seen_) {
        if (m.type == type) {
            result.push_back(m);
        }
    }
    return result;
}

int BusTap::count(const std::string& type) const {
    return static_cast<int>(of_type(type).size());
}

bool BusTap::wait_for(const std::string& type, int n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        int found = 0;
        for (const auto& m : seen_) {
            found += m.type == type ? 1 : 0;
        }
        return found >= n;
    });
}

void BusTap::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.clear();
}

ParamMap default_params() {
    return {
        {"priority", "0"},         {"watchdog_timeout", "1000"},
        {"device_path", ""},       {"finger_image_path", ""},
        {"bsize", "16"},           {"step", "4"},
        {"img_num", "5"},          {"min_img_num", "2"},
        {"var_min", "300"},        {"select_timeout", "1000"},
        {"restart_timeout", "10"}, {"finger_detected_delay", "0"},
        {"net_debug_ip", ""},      {"net_debug_port", "9000"},
        {"net_debug_raw", "0"},    {"invert", "0"},
        {"fp_reader_path", ""},    {"last_fp_reader", "GC032A"},
        {"invert_pixels", "0"},
    };
}

ModuleEnv::ModuleEnv(ModuleEnvOptions options) {
    ovra::host::open_database(":memory:");
    device_path_ = dir_.file("video0");
    sensor_file_ = dir_.file("fingerprint_reader");
    write_sensor_model(options.sensor_model);

    ParamMap params = default_params();
    params["device_path"] = device_path_;
    params["fp_reader_path"] = sensor_file_;
    for (const auto& [key, value] : options.overrides) {
        params[key] = value;
    }
    for (const auto& [key, value] : params) {
        seed(key, value);
    }

    if (options.configure_sensor) {
        vsensor::Config config = options.sensor;
        config.device_path = device_path_;
        vsensor::configure(config);
    }
}

ModuleEnv::~ModuleEnv() = default;

void ModuleEnv::write_sensor_model(const std::string& model) const {
    write_file(sensor_file_, model);
}

void ModuleEnv::seed(const std::string& key, const std::string& value) const {
    ovra::host::seed_param(section, key, value);
}

void ModuleEnv::erase(const std::string& key) const {
    ovra::host::erase_param(section, key);
}

std::optional<std::string> ModuleEnv::peek(const std::string& key) const {
    return ovra::host::peek_param(section, key);
}

}  // namespace bio_test
