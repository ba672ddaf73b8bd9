// How bio-host shows bus messages, log records and its own reports: one text line each, or
// one JSON object each (JSON lines).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "ovra/host.h"
#include "ovra/message.h"

namespace bio_host {

using Json = nlohmann::ordered_json;

// FNV-1a, 64 bits, of `length` bytes at `data` (offset basis 0xcbf29ce484222325, prime
// 0x100000001b3), written as 16 lower-case hex digits. Enough to tell images apart in a
// transcript and to compare a published image with a file; not a cryptographic hash.
std::string digest_hex(const unsigned char* data, std::size_t length);

// The fields of `message` as text: "name=value" separated by single blanks, in field order.
// Integers in decimal; strings as JSON string literals (quoted, escaped); buffers as
// "<N bytes fnv1a64:HEX>".
std::string fields_text(const ovra::Message& message);

// The fields of `message` as a JSON object, in field order. Buffers become
// {"bytes": N, "fnv1a64": "HEX"}. A name given twice keeps its last value.
Json fields_json(const ovra::Message& message);

// One bus message: "bus #SEQ +SECONDS TYPE FIELDS" (seconds since bio-host started, three
// decimals) and {"kind":"bus","seq":..,"t":..,"type":..,"thread":..,"fields":{..}} (t with
// microseconds; "thread", the name of the sending thread, only when `thread` is not empty).
std::string bus_line(std::uint64_t sequence, double seconds, const ovra::Message& message);
Json bus_json(std::uint64_t sequence, double seconds, const ovra::Message& message,
              const std::string& thread = "");

// Log levels as shown and as accepted by --log-level ("debug", "info", "error").
const char* level_name(ovra::host::LogLevel level);

// One log record: "log " + the host's record format, and
// {"kind":"log","level":..,"function":..,"file":..,"line":..,"text":..}.
std::string log_line(const ovra::host::LogRecord& record);
Json log_json(const ovra::host::LogRecord& record);

// What bio-host counts while it runs; shown by "status" and in the final summary.
struct Tally {
    bool enabled = true;                 // as last switched by a bus message
    int templates = 0;                   // rows of the templates table
    std::uint64_t keep_alives = 0;       // watchdog keep-alives of bio_module
    std::uint64_t late_keep_alives = 0;  // of them, later than twice watchdog_timeout
    long long frames = -1;               // frames the sensor delivered; -1 when unknown
    std::uint64_t touches = 0;           // identifier_new_biometric_image messages
    std::uint64_t finger_detected = 0;
    std::uint64_t finger_removed = 0;
    std::uint64_t restarts = 0;  // camera restarts ("Restarting module.." records)
    std::uint64_t streamed = 0;  // frames the module put on its debug stream (at the end of the run)
};

// "status: enabled yes, templates N, keep-alives N, frames N" ("frames n/a" when unknown).
std::string status_line(const Tally& tally);
Json status_json(const Tally& tally);

// "summary: touches published N, finger-removed events N, frames seen N, camera restarts N,
// finger-detected events N, keep-alives N (late N)", and ", frames streamed N" when the debug stream
// carried any.
std::string summary_line(const Tally& tally);
Json summary_json(const Tally& tally);

// What bio-host tells of bio_module's watchdog keep-alives: one that came `ms` after the
// previous one, more than `limit_ms` (late), or none for `ms` so far (silent).
struct WatchdogReport {
    bool late = false;  // false: silent
    long long ms = 0;
    long long limit_ms = 0;
};

// "watchdog: keep-alive of bio_module came N ms after the previous one (limit N ms)" or
// "watchdog: no keep-alive of bio_module for N ms (limit N ms)", and
// {"kind":"watchdog","event":"late"|"silent","name":"bio_module","gap_ms"|"silent_ms":N,"limit_ms":N}.
std::string watchdog_line(const WatchdogReport& report);
Json watchdog_json(const WatchdogReport& report);

}  // namespace bio_host
