// bio-host: runs a plug-in inside the stand-in host, prints its bus traffic, logs and watchdog
// misses, and takes bus commands on standard input. With --simulate it runs over the virtual
// sensor; with --probe it only shows the capture device and the sensor the module would find.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bio_common/cli.h"
#include "bio_common/text.h"
#include "options.h"
#include "runner.h"
#include "simulate.h"

namespace {

namespace cli = bio_common::cli;

// Declares bio-host's options on `app`, to be filled into `options`.
void add_options(CLI::App& app, bio_host::Options& options) {
    app.add_option("--plugin", options.plugin,
                   "Plug-in to load (default: libbio_module.so next to bio-host, in the build tree, "
                   "or the installed one)")
        ->option_text("PATH");
    app.add_option("--db", options.db,
                   "SQLite database of the host, created when absent (default: in memory)")
        ->option_text("PATH");
    app.add_option("--config", options.config,
                   "INI file whose sections are written into the configuration store")
        ->check(CLI::ExistingFile)
        ->option_text("FILE");
    app.add_option("--set", options.sets,
                   "[SECTION.]KEY=VALUE written after --config (repeatable); the key must be one the "
                   "module reads")
        ->option_text("KEY=VALUE");
    app.add_option("--simulate", options.simulate, "Run over the virtual sensor with this scenario file")
        ->check(CLI::ExistingFile)
        ->option_text("SCENARIO");
    app.add_option("--model", options.model,
                   "Sensor model the virtual reader reports (overrides the scenario's model line)")
        ->option_text("NAME");
    app.add_option("--vsensor", options.vsensor, "libvsensor.so to preload (default: found next to bio-host)")
        ->option_text("PATH");
    cli::add_seconds(app, options.seconds, "Stop after S seconds (default: run until quit or a signal)");
    cli::add_frames(app, options.frames, "Stop after the virtual sensor has delivered N frames");
    app.add_flag("--until-end", options.until_end,
                 "Stop when the scenario has played to its end (not with repeat or an endless last step)");
    app.add_flag("--probe", options.probe,
                 "Print the capture device's capabilities and formats and the sensor the module would "
                 "identify, then exit");
    cli::add_json(app, options.json);
    cli::add_log_level(app, options.log_level, "Log records to print: debug, info, error or none (default info)");
    app.add_option("--umask", options.umask,
                   "File mode creation mask of the run, in octal (default 077: the plug-in's finger image "
                   "and every other file created are private)")
        ->check([](const std::string& text) {
            const auto mask = bio_common::parse_integer<unsigned>(text, 8);
            return mask && *mask <= 0777 ? std::string() : std::string("an octal mask from 000 to 777");
        })
        ->option_text("MASK");
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
        "records and late watchdog keep-alives, and takes bus commands on standard input (type help)."};
    cli::set_program(app, "bio-host");
    add_options(app, options);
    bool ran_plugin_host = false;
    const int status = cli::run(app, argc, argv, [&] {
        if ((options.frames != 0 || options.until_end) && options.simulate.empty()) {
            throw cli::UsageError(std::string(options.frames != 0 ? "--frames" : "--until-end") +
                                  " needs --simulate: bio-host counts the frames of the virtual sensor only");
        }
        // Before anything creates a file, the plug-in's finger image included.
        ::umask(static_cast<mode_t>(bio_common::parse_integer<unsigned>(options.umask, 8).value_or(077)));
        if (!options.simulate.empty() && !sensor_loaded()) {
            return run_simulated(options, argc, argv);
        }
        block_stop_signals();
        ran_plugin_host = true;
        static Runner runner(options);
        if (options.probe) {
            runner.probe();
        }
        return runner.run();
    });
    if (ran_plugin_host) {
        // The stand-in host may have threads of its own by now: no static destructor runs.
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(status);
    }
    return status;
}
