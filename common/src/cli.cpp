// The tools' shared command-line grammar (bio_common/cli.h).
#include "bio_common/cli.h"

#include <cstdio>
#include <iostream>

#ifndef BIO_VERSION
#error "BIO_VERSION is set by the build from the project's version"
#endif

namespace bio_common::cli {
namespace {

// Writes "NAME: text" on standard error after what standard output holds.
void complain(const CLI::App& app, const std::string& text) {
    std::cout.flush();
    std::fflush(stdout);
    std::cerr << app.get_name() << ": " << text << std::endl;
}

}  // namespace

const char* version() {
    return BIO_VERSION;
}

void set_program(CLI::App& app, const std::string& name) {
    app.name(name);
    app.set_version_flag("-V,--version", name + " " + version(), "Print the program's name and version and exit");
}

CLI::Option* add_json(CLI::App& app, bool& json) {
    return app.add_flag("--json", json, "Print one JSON object per line instead of text lines");
}

CLI::Option* add_log_level(CLI::App& app, std::string& level, const std::string& what) {
    return app.add_option("-l,--log-level", level, what)
        ->check(CLI::IsMember({"debug", "info", "error", "none"}))
        ->option_text("LEVEL");
}

CLI::Option* add_frames(CLI::App& app, std::uint64_t& frames, const std::string& what) {
    return app.add_option("-n,--frames", frames, what)->option_text("N");
}

CLI::Option* add_seconds(CLI::App& app, double& seconds, const std::string& what) {
    // A year at most: a longer limit is a typing slip, and it keeps the deadline's arithmetic exact.
    return app.add_option("-s,--seconds", seconds, what)
        ->check(CLI::Range(0.0, 366.0 * 24 * 3600))
        ->option_text("S");
}

CLI::Option* add_output(CLI::App& app, std::string& path, const std::string& what) {
    return app.add_option("-o,--output", path, what)->option_text("PATH");
}

int run(CLI::App& app, int argc, char** argv, const std::function<int()>& body) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& done) {  // --help, --version
        app.exit(done);
        return exit_ok;
    } catch (const CLI::ParseError& refused) {
        complain(app, refused.what());
        std::cerr << "Try '" << app.get_name() << " --help' for the options." << std::endl;
        return exit_usage;
    }
    try {
        return body();
    } catch (const UsageError& refused) {
        complain(app, refused.what());
        return exit_usage;
    } catch (const CLI::ParseError& refused) {  // a check made after parsing, in CLI11's terms
        complain(app, refused.what());
        return exit_usage;
    } catch (const std::exception& failure) {
        complain(app, failure.what());
        return exit_failure;
    }
}

}  // namespace bio_common::cli
