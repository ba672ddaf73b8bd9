// bio-host's --set reads a value as its configuration file does and refuses an empty section
// or key, as the INI reader and the config command do.
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ini.h"

namespace {

TEST(HostSet, ReadsValuesAsTheFileFormatDoes) {
    struct Case {
        const char* assignment;
        std::optional<bio_host::IniEntry> entry;  // nullopt: refused
    };
    const std::vector<Case> cases = {
        {"img_num=8", bio_host::IniEntry{"bio_module", "img_num", "8", 0}},
        {"identifier.identification_enabled_1651076864=0",
         bio_host::IniEntry{"identifier", "identification_enabled_1651076864", "0", 0}},
        {"finger_image_path=\"\"", bio_host::IniEntry{"bio_module", "finger_image_path", "", 0}},
        {"net_debug_ip=\" 10.1 \"", bio_host::IniEntry{"bio_module", "net_debug_ip", " 10.1 ", 0}},
        {"img_num", std::nullopt},
        {"=8", std::nullopt},
        {".img_num=8", std::nullopt},
        {"identifier.=0", std::nullopt},
        {"net_debug_ip=\"10.1", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.assignment);
        if (!c.entry) {
            EXPECT_THROW(bio_host::parse_set(c.assignment, "bio_module"), std::runtime_error);
            continue;
        }
        const bio_host::IniEntry entry = bio_host::parse_set(c.assignment, "bio_module");
        EXPECT_EQ(entry.section, c.entry->section);
        EXPECT_EQ(entry.key, c.entry->key);
        EXPECT_EQ(entry.value, c.entry->value);
    }
}

}  // namespace
