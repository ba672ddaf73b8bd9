// bio-host: runs a plug-in inside the stand-in host, prints its bus traffic, logs and watchdog
// misses, and takes bus commands on standard input. With --simulate it runs over the virtual
// sensor.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include <CLI/CLI.hpp>

#include "bio_common/text.h"
#include "options.h"
#include "runner.h"
#include "simulate.h"

namespace {

// Declares bio-host's options on `app`, to be filled into `options`.
void add_options(CLI::App& app, bio_host::Options& options) {
    app.add_option("--plugin", options.plugin,
                   "plug-in to load (default: libbio_module.so next to bio-host, "
                   "in the build tree, or the installed one)");
    app.add_option("--db", options.db,
                   "SQLite database of the host, created when absent (default: in memory)");
    app.add_option("--config", options.config,
                   "INI file whose sections are written into the configuration store")
        ->check(CLI::ExistingFile);
    app.add_option("--set", options.sets,
                   "KEY=VALUE or SECTION.KEY=VALUE written after --config (repeatable)");
    app.add_option("--simulate", options.simulate, "run over the virtual sensor with this scenario file")
        ->check(CLI::ExistingFile);
    app.add_option("--model", options.model,
                   "sensor model the virtual reader reports (overrides the scenario)");
    app.add_option("--vsensor", options.vsensor, "path of libvsensor.so (default: found next to bio-host)");
    app.add_option("--seconds", options.seconds,
                   "stop after this many seconds (default: run until quit or a signal)")
        ->check(CLI::NonNegativeNumber);
    app.add_flag("--json", options.json, "print JSON lines instead of text lines");
    app.add_option("--log-level", options.log_level,
                   "log records to print: debug, info, error or none (default info)")
        ->check(CLI::IsMember({"debug", "info", "error", "none"}));
    app.add_flag("--no-reexec", options.no_reexec,
                 "with --simulate: the caller has preloaded and configured the virtual sensor already");
    app.add_option("--umask", options.umask,
                   "file mode creation mask of the run, in octal (default 077: the plug-in's finger image "
                   "and every other file created are private)")
        ->check([](const std::string& text) {
            const auto mask = bio_common::parse_integer<unsigned>(text, 8);
            return mask && *mask <= 0777 ? std::string() : std::string("an octal mask from 000 to 777");
        });
}

// SIGINT and SIGTERM are taken by the runner's main loop with sigtimedwait: blocked here,
// before any other thread starts, so that every thread (the plug-in's included) inherits the
// mask. A closed pipe on standard output must not kill bio-host.
void block_stop_signals() {
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace bio_host;
    Options options;
    CLI::App app{
        "Runs a plug-in (libbio_module.so) inside the stand-in host: prints every bus message, the log "
        "records and late watchdog keep-alives, and takes bus commands on standard input (type help).",
        "bio-host"};
    add_options(app, options);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help prints and ends with 0; every usage error ends with 2.
        return app.exit(e) == 0 ? exit_ok : exit_setup;
    }

    // Before anything creates a file, the plug-in's finger image included.
    ::umask(static_cast<mode_t>(bio_common::parse_integer<unsigned>(options.umask, 8).value_or(077)));
    try {
        if (!options.simulate.empty() && !options.no_reexec && std::getenv(sim_dir_env) == nullptr) {
            return run_simulated(options, argc, argv);
        }
        block_stop_signals();
        static Runner runner(options);
        return runner.run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bio-host: %s\n", e.what());
        std::fflush(stdout);
        std::_Exit(exit_setup);
    }
}
