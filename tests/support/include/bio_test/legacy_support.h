// Shared test fixture for the module's suites: an in-memory host database seeded with the
// module's configuration, a sensor-model file, the virtual sensor, and log and bus capture.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <condition_variable>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bio_test/files.h"
#include "ovra/host.h"
#include "ovra/message.h"
#include "vsensor/vsensor.h"

namespace bio_test {

// A copy of one message seen on the bus (fields keep their buffers alive).
struct SeenMessage {
    std::uint64_t sequence = 0;
    std::chrono::steady_clock::time_point sent_at;
    std::string type;
    int flags = 0;
    std::vector<ovra::MessageField> fields;

    // The int / int64 / string field `name`, if present with that kind.
    std::optional<std::int64_t> number(const std::string& name) const;
    std::optional<std::string> text(const std::string& name) const;
    const ovra::MessageField* field(const std::string& name) const;
};

// Collects every message sent on the bus while it lives (a PostOffice tap).
class BusTap {
public:
    BusTap();
    ~BusTap();
    BusTap(const BusTap&) = delete;
    BusTap& operator=(const BusTap&) = delete;

    std::vector<SeenMessage> messages() const;
    // Messages of one type, in send order.
    std::vector<SeenMessage> of_type(const std::string& type) const;
    int count(const std::string& type) const;
    // Waits until at least `n` messages of `type` were sent; false on time-out.
    bool wait_for(const std::string& type, int n, std::chrono::milliseconds timeout) const;
    void clear();

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<SeenMessage> seen_;
    int id_ = -1;
};

// Configuration values of section "bio_module" seeded by ModuleEnv, by key.
using ParamMap = std::map<std::string, std::string>;

// The 19 keys with sane values for a GC032A sensor that matches last_fp_reader.
// device_path and fp_reader_path are filled in by ModuleEnv.
ParamMap default_params();

struct ModuleEnvOptions {
    std::string sensor_model = "GC032A";  // content of the sensor-model file (exact bytes)
    ParamMap overrides;                   // replace or add keys after the defaults
    vsensor::Config sensor;               // device_path is replaced by ModuleEnv
    bool configure_sensor = true;         // call vsensor::configure
};

// Options with `overrides` on top of the default configuration.
inline ModuleEnvOptions with_params(ParamMap overrides) {
    ModuleEnvOptions options;
    options.overrides = std::move(overrides);
    return options;
}

// Everything a module test needs before calling init / init_module:
// - opens ":memory:" through ovra::host::open_database;
// - writes the sensor-model file in a temporary directory and points fp_reader_path at it;
// - configures the virtual sensor with a device path in the same directory and points
//   device_path at it;
// - seeds the 19 keys of section "bio_module";
// - collects log records (log) and bus messages (bus).
class ModuleEnv {
public:
    explicit ModuleEnv(ModuleEnvOptions options = {});
    ~ModuleEnv();
    ModuleEnv(const ModuleEnv&) = delete;
    ModuleEnv& operator=(const ModuleEnv&) = delete;

    static constexpr const char* section = "bio_module";

    const TempDir& dir() const noexcept { return dir_; }
    const std::string& device_path() const noexcept { return device_path_; }
    const std::string& sensor_file() const noexcept { return sensor_file_; }

    // Rewrites the sensor-model file.
    void write_sensor_model(const std::string& model) const;
    // Seeds one key of section "bio_module" (no bus announcement).
    void seed(const std::string& key, const std::string& value) const;
    void erase(const std::string& key) const;
    std::optional<std::string> peek(const std::string& key) const;

    ovra::host::MemoryLogSink log;
    BusTap bus;

private:
    TempDir dir_;
    std::string device_path_;
    std::string sensor_file_;
};

}  // namespace bio_test
