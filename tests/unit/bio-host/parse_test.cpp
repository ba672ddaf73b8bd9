// bio-host's parsing as its users meet it: what the INI reader takes from a configuration file
// or refuses (naming file and line), what a command line becomes or why it is refused, and the
// shipped configuration files.
#include <set>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "command.h"
#include "ini.h"

namespace bio_host {
namespace {

using Rows = std::pair<std::string, std::string>[];

// The entries as "section.key=[value]@line", or the error.
std::string ini_result(const std::string& text) {
    try {
        std::string out;
        for (const IniEntry& e : parse_ini(text, "cfg.ini")) {
            out += e.section + "." + e.key + "=[" + e.value + "]@" + std::to_string(e.line) + " ";
        }
        return out;
    } catch (const IniError& e) {
        return e.what();
    }
}

TEST(BioHostIni, ReadsOrRefuses) {
    const Rows rows = {
        {"; c\n\n[bio_module]\n  bsize   =  16  \n# c\nnet_debug_ip = \"\"\n"
         "image = \" /a b.png \"\ndevice = /dev/video0;not a comment\n[identifier]\r\nid = 0\r\n",
         "bio_module.bsize=[16]@4 bio_module.net_debug_ip=[]@6 bio_module.image=[ /a b.png ]@7 "
         "bio_module.device=[/dev/video0;not a comment]@8 identifier.id=[0]@10 "},
        {"[a]\nk = 1\n[b]\nk = 2\n", "a.k=[1]@2 b.k=[2]@4 "},
        {"bsize = 16\n", "cfg.ini:1: key 'bsize' outside any [section]"},
        {"[s]\n\nbsize 16\n", "cfg.ini:3: expected 'key = value', found 'bsize 16'"},
        {"[s]\n = 16\n", "cfg.ini:2: empty key"},
        {"[bio_module\n", "cfg.ini:1: section header without closing ']'"},
        {"[bio module]\n", "cfg.ini:1: bad section name 'bio module'"},
        {"[s]\nk = \"open\n", "cfg.ini:2: unterminated quoted value of 'k'"},
        {"[s]\nk = \"\n", "cfg.ini:2: unterminated quoted value of 'k'"},
        {"[s]\nk = 1\n; c\nk = 2\n", "cfg.ini:4: key 'k' given twice in [s]"}};
    for (const auto& [text, expected] : rows) {
        EXPECT_EQ(ini_result(text), expected) << text;
    }
}

// The command as "name number on section.key=[value]" (what is set of it), or the error.
std::string command_result(const std::string& line) {
    const ParsedCommand parsed = parse_command(line);
    if (!parsed.ok) {
        return "error: " + parsed.error;
    }
    const Command& c = parsed.command;
    std::string out = c.name().empty() ? "nothing" : c.name();
    out += c.number != 0 ? " " + std::to_string(c.number) : "";
    out += c.flag ? " on" : "";
    return out + (c.key.empty() ? "" : " " + c.section + "." + c.key + "=[" + c.value + "]");
}

TEST(BioHostCommands, ParseOrAreRefused) {
    const std::string catra_usage = "error: usage: catra N (N an int: 11 enables, 12 disables)";
    const std::string rows_range = ": N must be a whole number from 1 to 1000000";
    const Rows rows = {
        {"   ", "nothing"},
        {"# enable", "nothing"},
        {"  disable  ", "disable"},
        {"catra -3", "catra -3"},
        {"templates add 4001", "templates add 4001"},
        {"users delete 1000000", "users delete 1000000"},
        {"identification on", "identification on"},
        {"sleep 0", "sleep"},
        {"wait frames 120", "wait frames 120"},
        {"config net_debug_ip \"\"", "config bio_module.net_debug_ip=[]"},
        {"config  finger_image_path   /a b.png  ", "config bio_module.finger_image_path=[/a b.png]"},
        {"config identifier.identification_enabled_1651076864 0",
         "config identifier.identification_enabled_1651076864=[0]"},
        {"Enable", "error: unknown command 'Enable' (type help)"},
        {"enable now", "error: enable takes no argument"},
        {"catra 11x", catra_usage},
        {"catra 2147483648", catra_usage},
        {"templates remove 3", "error: usage: templates add|delete N"},
        {"templates add 0", "error: templates" + rows_range},
        {"users delete 1000001", "error: users" + rows_range},
        {"identification maybe", "error: usage: identification on|off"},
        {"sleep 600001", "error: usage: sleep MS (0 to 600000)"},
        {"config var_min", "error: usage: config KEY VALUE (\"\" for an empty value)"},
        {"config .var_min 3", "error: config: KEY is NAME or SECTION.NAME"}};
    for (const auto& [line, expected] : rows) {
        EXPECT_EQ(command_result(line), expected) << line;
    }
}

// Every end-to-end run starts the module with the desktop's file; the board's sets the same keys.
TEST(BioHostShippedConfig, BoardSetsTheNineteenKeysTheDesktopSets) {
    auto module_keys = [](const char* file) {
        std::set<std::string> keys;
        for (const IniEntry& entry : read_ini_file(std::string(BIO_SOURCE_DIR) + "/config/" + file)) {
            keys.insert(entry.section == "bio_module" ? entry.key : "");
        }
        keys.erase("");
        return keys;
    };
    EXPECT_EQ(module_keys("desktop.ini").size(), 19u);
    EXPECT_EQ(module_keys("board.ini"), module_keys("desktop.ini"));
}

}  // namespace
}  // namespace bio_host
