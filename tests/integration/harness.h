// Helpers of the integration tests: temporary directories, starting bio-host and bio-stream
// over scripted scenarios, reading the JSON transcript, decoding PNG files.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bio_test/files.h"
#include "process.h"

namespace bio_it {

using Json = nlohmann::json;
using namespace std::chrono_literals;

// Generous bounds: sanitizer builds and qemu run many times slower than a plain build.
constexpr std::chrono::milliseconds start_wait = 60s;
constexpr std::chrono::milliseconds event_wait = 30s;

using bio_test::read_file;
using bio_test::TempDir;
using bio_test::write_file;

bool file_exists(const std::string& path);
// Names of the regular files in `dir` whose name starts with `prefix`, sorted.
std::vector<std::string> list_files(const std::string& dir, const std::string& prefix);

// FNV-1a 64 of bytes as 16 hex digits: the digest bio-host prints for image buffers.
std::string fnv1a64_hex(const unsigned char* data, std::size_t length);

struct HostOptions {
    std::string scenario;           // scenario file text (bio-host's model line included)
    std::vector<std::string> sets;  // --set arguments
    std::vector<std::string> args;  // further arguments
    std::string log_level = "error";
    bool json = true;
    bool simulate = true;
    bool explicit_plugin = true;  // pass --plugin (otherwise bio-host finds it)
    std::string config;           // configuration file; empty: the shipped desktop.ini
};

// Starts bio-host with the shipped desktop configuration, --json, the plug-in of this build
// and, when `simulate`, the scenario written into `dir`. Its temporary files go into `dir`.
std::unique_ptr<Process> start_host(const TempDir& dir, const HostOptions& options);

// The JSON object of a transcript line; nullopt for a line that is not one (the module
// prints some lines of its own on standard output).
std::optional<Json> parse_line(const std::string& line);

// Predicates on transcript lines.
std::function<bool(const std::string&)> is_kind(const std::string& kind);
std::function<bool(const std::string&)> is_bus(const std::string& type);
std::function<bool(const std::string&)> is_ack(const std::string& command);

// Waits for a line matching `match` from index `from`; returns its index and object.
// Fails the current test (ADD_FAILURE with the transcript) on time-out.
std::optional<std::pair<std::size_t, Json>> expect_line(const Process& process,
                                                        const std::function<bool(const std::string&)>& match,
                                                        const std::string& what, std::size_t from = 0,
                                                        std::chrono::milliseconds timeout = event_wait);

// Sends a command line and waits for its acknowledgement; returns the acknowledgement.
std::optional<std::pair<std::size_t, Json>> command(Process& process, const std::string& line,
                                                    std::size_t from = 0);

// All JSON objects of the transcript (non-JSON lines skipped).
std::vector<Json> transcript(const Process& process);
// The bus messages of one type, in transcript order.
std::vector<Json> bus_messages(const Process& process, const std::string& type);
// The transcript as text, for failure messages.
std::string dump(const Process& process);

// A decoded PNG: width, height and the samples of the requested format.
struct Picture {
    unsigned width = 0;
    unsigned height = 0;
    std::vector<unsigned char> samples;
};
// Decodes `path` into 8-bit RGB (rgb true) or 8-bit grey; raises std::runtime_error.
Picture decode_png(const std::string& path, bool rgb);

// Starts bio-stream listening on 127.0.0.1 at a free port with `args`; returns the process
// and the port it reported, or nullptr when bio-stream is not built.
std::unique_ptr<Process> start_stream(const std::vector<std::string>& args, int* port);

}  // namespace bio_it
