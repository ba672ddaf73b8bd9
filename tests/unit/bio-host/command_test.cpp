// Tests of bio-host's standard-input command parser.
#include "command.h"

#include <cctype>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

namespace bio_host {
namespace {

struct GoodLine {
    const char* line;
    const char* name;  // of the command's row
    long long number;
    bool flag;
    const char* section;
    const char* key;
    const char* value;
};

// Test names carry this, so it must be the same in every run and plain.
std::string plain(const char* line) {
    std::string name = *line != '\0' ? line : "empty";
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) {
            c = '_';
        }
    }
    return name;
}

void PrintTo(const GoodLine& good, std::ostream* out) {
    *out << plain(good.line);
}

class BioHostValidCommands : public testing::TestWithParam<GoodLine> {};

TEST_P(BioHostValidCommands, ParseIntoKindAndArguments) {
    const GoodLine& good = GetParam();
    const ParsedCommand parsed = parse_command(good.line);
    ASSERT_TRUE(parsed.ok) << good.line << ": " << parsed.error;
    EXPECT_EQ(parsed.command.name(), good.name) << good.line;
    EXPECT_EQ(parsed.command.number, good.number) << good.line;
    EXPECT_EQ(parsed.command.flag, good.flag) << good.line;
    EXPECT_EQ(parsed.command.section, good.section) << good.line;
    EXPECT_EQ(parsed.command.key, good.key) << good.line;
    EXPECT_EQ(parsed.command.value, good.value) << good.line;
}

INSTANTIATE_TEST_SUITE_P(
    Table, BioHostValidCommands,
    testing::Values(
        GoodLine{"", "", 0, false, "", "", ""}, GoodLine{"   ", "", 0, false, "", "", ""},
        GoodLine{"# a comment", "", 0, false, "", "", ""}, GoodLine{"help", "help", 0, false, "", "", ""},
        GoodLine{"enable", "enable", 0, false, "", "", ""},
        GoodLine{"  disable  ", "disable", 0, false, "", "", ""},
        GoodLine{"catra 11", "catra", 11, false, "", "", ""},
        GoodLine{"catra -3", "catra", -3, false, "", "", ""},
        GoodLine{"catra 2147483647", "catra", 2147483647, false, "", "", ""},
        GoodLine{"templates add 4001", "templates add", 4001, false, "", "", ""},
        GoodLine{"templates delete 1", "templates delete", 1, false, "", "", ""},
        GoodLine{"users add 2", "users add", 2, false, "", "", ""},
        GoodLine{"users delete 1000000", "users delete", 1000000, false, "", "", ""},
        GoodLine{"identification off", "identification", 0, false, "", "", ""},
        GoodLine{"identification on", "identification", 0, true, "", "", ""},
        GoodLine{"broadcast", "broadcast", 0, false, "", "", ""},
        GoodLine{"status", "status", 0, false, "", "", ""},
        GoodLine{"sleep 0", "sleep", 0, false, "", "", ""},
        GoodLine{"sleep 250", "sleep", 250, false, "", "", ""},
        GoodLine{"wait frames 120", "wait frames", 120, false, "", "", ""},
        GoodLine{"quit", "quit", 0, false, "", "", ""}, GoodLine{"exit", "exit", 0, false, "", "", ""},
        GoodLine{"config exception_mode normal", "config", 0, false, "bio_module", "exception_mode",
                 "normal"},
        GoodLine{"config net_debug_ip \"\"", "config", 0, false, "bio_module", "net_debug_ip", ""},
        GoodLine{"config  finger_image_path   /tmp/a b.png  ", "config", 0, false, "bio_module",
                 "finger_image_path", "/tmp/a b.png"},
        GoodLine{"config identifier.identification_enabled_1651076864 0", "config", 0, false, "identifier",
                 "identification_enabled_1651076864", "0"}));

struct BadLine {
    const char* line;
    const char* error;
};

void PrintTo(const BadLine& bad, std::ostream* out) {
    *out << plain(bad.line);
}

class BioHostInvalidCommands : public testing::TestWithParam<BadLine> {};

TEST_P(BioHostInvalidCommands, AreRefusedWithAHint) {
    const BadLine& bad = GetParam();
    const ParsedCommand parsed = parse_command(bad.line);
    EXPECT_FALSE(parsed.ok) << bad.line;
    EXPECT_NE(parsed.error.find(bad.error), std::string::npos) << bad.line << " -> " << parsed.error;
}

INSTANTIATE_TEST_SUITE_P(
    Table, BioHostInvalidCommands,
    testing::Values(
        BadLine{"frobnicate", "unknown command 'frobnicate'"}, BadLine{"Enable", "unknown command 'Enable'"},
        BadLine{"enable now", "enable takes no argument"}, BadLine{"catra", "usage: catra N"},
        BadLine{"catra eleven", "usage: catra N"}, BadLine{"catra 11x", "usage: catra N"},
        BadLine{"catra 2147483648", "usage: catra N"}, BadLine{"catra 11 12", "usage: catra N"},
        BadLine{"templates add", "usage: templates add|delete N"},
        BadLine{"templates remove 3", "usage: templates add|delete N"},
        BadLine{"templates add 0", "from 1 to 1000000"}, BadLine{"templates add -5", "from 1 to 1000000"},
        BadLine{"users delete 1000001", "from 1 to 1000000"},
        BadLine{"identification maybe", "usage: identification on|off"},
        BadLine{"sleep -1", "usage: sleep MS"}, BadLine{"sleep 600001", "usage: sleep MS"},
        BadLine{"config", "usage: config KEY VALUE"}, BadLine{"config var_min", "usage: config KEY VALUE"},
        BadLine{"config .var_min 3", "SECTION.NAME"}, BadLine{"config bio_module. 3", "SECTION.NAME"}));

TEST(BioHostCommandHelp, NamesEveryCommand) {
    const std::string help = command_help();
    for (const char* word : {"enable", "disable", "catra N", "config KEY VALUE", "templates add N",
                             "templates delete N", "users delete N", "broadcast", "status", "quit"}) {
        EXPECT_NE(help.find(word), std::string::npos) << word;
    }
}

}  // namespace
}  // namespace bio_host
