// bio-host's parsing as its users meet it: what the INI reader takes from a configuration file
// or refuses (naming file and line), what a command line becomes or why it is refused, and the
// shipped configuration files.
#include <ostream>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "command.h"
#include "ini.h"

namespace bio_host {
namespace {

struct Row {
    const char* name;
    std::string input;
    std::string expected;
};

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

std::string row_name(const testing::TestParamInfo<Row>& row) {
    return row.param.name;
}

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

class BioHostIni : public testing::TestWithParam<Row> {};

TEST_P(BioHostIni, ReadsOrRefuses) {
    EXPECT_EQ(ini_result(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BioHostIni,
    testing::Values(
        Row{"CommentsBlanksQuotesAndCrLf",
            "; c\n\n[bio_module]\n  bsize   =  16  \n# c\nnet_debug_ip = \"\"\n"
            "image = \" /a b.png \"\ndevice = /dev/video0;not a comment\n[identifier]\r\nid = 0\r\n",
            "bio_module.bsize=[16]@4 bio_module.net_debug_ip=[]@6 bio_module.image=[ /a b.png ]@7 "
            "bio_module.device=[/dev/video0;not a comment]@8 identifier.id=[0]@10 "},
        Row{"SameKeyInTwoSections", "[a]\nk = 1\n[b]\nk = 2\n", "a.k=[1]@2 b.k=[2]@4 "},
        Row{"KeyOutsideSections", "bsize = 16\n", "cfg.ini:1: key 'bsize' outside any [section]"},
        Row{"NoEquals", "[s]\n\nbsize 16\n", "cfg.ini:3: expected 'key = value', found 'bsize 16'"},
        Row{"EmptyKey", "[s]\n = 16\n", "cfg.ini:2: empty key"},
        Row{"OpenSection", "[bio_module\n", "cfg.ini:1: section header without closing ']'"},
        Row{"BadSectionName", "[bio module]\n", "cfg.ini:1: bad section name 'bio module'"},
        Row{"UnterminatedQuote", "[s]\nk = \"open\n", "cfg.ini:2: unterminated quoted value of 'k'"},
        Row{"LoneQuote", "[s]\nk = \"\n", "cfg.ini:2: unterminated quoted value of 'k'"},
        Row{"KeyTwice", "[s]\nk = 1\n; c\nk = 2\n", "cfg.ini:4: key 'k' given twice in [s]"}),
    row_name);

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

class BioHostCommands : public testing::TestWithParam<Row> {};

TEST_P(BioHostCommands, ParseOrAreRefused) {
    EXPECT_EQ(command_result(GetParam().input), GetParam().expected);
}

const std::string catra_usage = "error: usage: catra N (N an int: 11 enables, 12 disables)";
const std::string rows_range = ": N must be a whole number from 1 to 1000000";

INSTANTIATE_TEST_SUITE_P(
    Table, BioHostCommands,
    testing::Values(Row{"Blank", "   ", "nothing"}, Row{"Comment", "# enable", "nothing"},
                    Row{"Disable", "  disable  ", "disable"}, Row{"CatraNegative", "catra -3", "catra -3"},
                    Row{"TemplatesAdd", "templates add 4001", "templates add 4001"},
                    Row{"UsersDeleteMost", "users delete 1000000", "users delete 1000000"},
                    Row{"IdentificationOn", "identification on", "identification on"},
                    Row{"SleepZero", "sleep 0", "sleep"},
                    Row{"WaitFrames", "wait frames 120", "wait frames 120"},
                    Row{"ConfigEmptyValue", "config net_debug_ip \"\"", "config bio_module.net_debug_ip=[]"},
                    Row{"ConfigValueWithBlanks", "config  finger_image_path   /a b.png  ",
                        "config bio_module.finger_image_path=[/a b.png]"},
                    Row{"ConfigOtherSection", "config identifier.identification_enabled_1651076864 0",
                        "config identifier.identification_enabled_1651076864=[0]"},
                    Row{"Unknown", "Enable", "error: unknown command 'Enable' (type help)"},
                    Row{"ArgumentToEnable", "enable now", "error: enable takes no argument"},
                    Row{"CatraNotANumber", "catra 11x", catra_usage},
                    Row{"CatraBeyondInt", "catra 2147483648", catra_usage},
                    Row{"TemplatesUnknownVerb", "templates remove 3", "error: usage: templates add|delete N"},
                    Row{"TemplatesZero", "templates add 0", "error: templates" + rows_range},
                    Row{"UsersTooMany", "users delete 1000001", "error: users" + rows_range},
                    Row{"IdentificationMaybe", "identification maybe", "error: usage: identification on|off"},
                    Row{"SleepTooLong", "sleep 600001", "error: usage: sleep MS (0 to 600000)"},
                    Row{"ConfigWithoutValue", "config var_min",
                        "error: usage: config KEY VALUE (\"\" for an empty value)"},
                    Row{"ConfigKeyWithoutSection", "config .var_min 3",
                        "error: config: KEY is NAME or SECTION.NAME"}),
    row_name);

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
