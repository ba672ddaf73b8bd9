// What bio-host is told on its command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bio_host {

struct Options {
    std::string plugin;  // empty: looked for next to bio-host, in the build tree, installed
    std::string db = ":memory:";
    std::string config;             // INI file seeded into the store; empty: none
    std::vector<std::string> sets;  // "[SECTION.]KEY=VALUE", applied after the file
    std::string simulate;           // scenario file of the virtual sensor; empty: a real reader
    std::string model;              // overrides the scenario's model line
    std::string vsensor;            // libvsensor.so to preload
    double seconds = 0.0;           // 0: no time limit
    std::uint64_t frames = 0;       // 0: no frame limit (virtual sensor only)
    bool until_end = false;         // stop at the end of the scenario's timeline
    bool probe = false;             // print the device and the sensor identification, then exit
    bool json = false;
    std::string log_level = "info";
    std::string umask = "077";  // octal file mode creation mask of the run
};

}  // namespace bio_host
