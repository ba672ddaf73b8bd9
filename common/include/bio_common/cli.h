// The command-line grammar that bio-host, bio-stream and bio-tune share: the program's name in
// its usage, -h/--help and -V/--version, the options that mean the same thing in every tool
// (same long and short names, same help), and one convention of exit statuses and messages.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include <CLI/CLI.hpp>

namespace bio_common::cli {

// Exit statuses, the same in every tool and documented in each manual.
inline constexpr int exit_ok = 0;       // the work was done (or --help, --version)
inline constexpr int exit_failure = 1;  // the work failed at run time
inline constexpr int exit_usage = 2;    // refused before any work: the command line or an input it names

// The project's version, as CMake's project() states it ("0.1.0").
const char* version();

// Input refused where it was typed, found after the options were parsed (an unknown
// configuration key, a malformed file named on the command line): the tool ends with exit_usage.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Names the program `name` in its usage line and messages whatever argv[0] is, and adds
// -V/--version, which prints "NAME VERSION". -h/--help is CLI11's own.
void set_program(CLI::App& app, const std::string& name);

// The options every tool spells alike. Each returns the option so that a tool can add checks.
//   --json                 one JSON object per line instead of text lines
//   -l, --log-level LEVEL  debug, info, error or none
//   -n, --frames N         stop after N frames (0: no limit)
//   -s, --seconds S        stop after S seconds (0: no limit), a decimal number
//   -o, --output PATH      the tool's one main output
CLI::Option* add_json(CLI::App& app, bool& json);
CLI::Option* add_log_level(CLI::App& app, std::string& level, const std::string& what);
CLI::Option* add_frames(CLI::App& app, std::uint64_t& frames, const std::string& what);
CLI::Option* add_seconds(CLI::App& app, double& seconds, const std::string& what);
CLI::Option* add_output(CLI::App& app, std::string& path, const std::string& what);

// Parses argv into `app` and runs `body`, with the tools' convention:
//   --help, --version          printed on standard output, exit_ok
//   a parse error, UsageError  "NAME: <reason>" and a pointer to --help on standard error, exit_usage
//   any other std::exception   "NAME: <what failed: why>" on standard error, exit_failure
// Otherwise the status `body` returns. Standard output is flushed before an error is printed.
int run(CLI::App& app, int argc, char** argv, const std::function<int()>& body);

}  // namespace bio_common::cli
