// Fuzz target: bio-host's INI reader, and the same text as one --set of its command line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "ini.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        for (const bio_host::IniEntry& entry : bio_host::parse_ini(text, "fuzz")) {
            // Every entry has a section, a key and a line.
            if (entry.section.empty() || entry.key.empty() || entry.line < 1) {
                std::abort();
            }
        }
    } catch (const bio_host::IniError&) {
        // A syntax error, named with its line.
    }
    try {
        bio_host::parse_set(text, "bio_module");
    } catch (const std::runtime_error&) {
        // Not an assignment.
    }
    return 0;
}
