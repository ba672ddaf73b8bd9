// Tests of bio-host's INI reader and of the configuration files shipped in config/.
#include "ini.h"

#include <cctype>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace bio_host {
namespace {

TEST(BioHostIniReader, ReadsSectionsKeysAndValuesInFileOrder) {
    const std::string text =
        "; leading comment\n"
        "\n"
        "[bio_module]\n"
        "  bsize   =  16  \n"
        "# another comment\n"
        "net_debug_ip = \"\"\n"
        "finger_image_path = \" /tmp/a b.png \"\n"
        "device_path = /dev/video0;not a comment\n"
        "empty =\n"
        "[identifier]\r\n"
        "identification_enabled_1651076864 = 0\r\n";
    const std::vector<IniEntry> entries = parse_ini(text);
    ASSERT_EQ(entries.size(), 6u);
    EXPECT_EQ(entries[0].section, "bio_module");
    EXPECT_EQ(entries[0].key, "bsize");
    EXPECT_EQ(entries[0].value, "16");
    EXPECT_EQ(entries[0].line, 4);
    EXPECT_EQ(entries[1].value, "");
    EXPECT_EQ(entries[2].value, " /tmp/a b.png ");
    EXPECT_EQ(entries[3].value, "/dev/video0;not a comment");
    EXPECT_EQ(entries[4].key, "empty");
    EXPECT_EQ(entries[4].value, "");
    EXPECT_EQ(entries[5].section, "identifier");
    EXPECT_EQ(entries[5].key, "identification_enabled_1651076864");
    EXPECT_EQ(entries[5].value, "0");
    EXPECT_EQ(entries[5].line, 11);
}

TEST(BioHostIniReader, SameKeyInTwoSectionsIsFine) {
    const auto entries = parse_ini("[a]\nk = 1\n[b]\nk = 2\n");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].section, "b");
    EXPECT_EQ(entries[1].value, "2");
}

struct BadIni {
    const char* text;
    int line;
    const char* reason;
};

// Test names carry this, so it must be the same in every run.
void PrintTo(const BadIni& bad, std::ostream* out) {
    std::string text = bad.text;
    for (char& c : text) {
        if (!std::isalnum(static_cast<unsigned char>(c))) {
            c = '_';
        }
    }
    *out << "line" << bad.line << "_" << text;
}

class BioHostIniErrors : public testing::TestWithParam<BadIni> {};

TEST_P(BioHostIniErrors, NameTheLineAndTheProblem) {
    const BadIni& bad = GetParam();
    try {
        parse_ini(bad.text, "cfg.ini");
        FAIL() << "accepted: " << bad.text;
    } catch (const IniError& e) {
        EXPECT_EQ(e.line(), bad.line);
        const std::string what = e.what();
        EXPECT_EQ(what.rfind("cfg.ini:" + std::to_string(bad.line) + ": ", 0), 0u) << what;
        EXPECT_NE(what.find(bad.reason), std::string::npos) << what;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, BioHostIniErrors,
                         testing::Values(BadIni{"bsize = 16\n", 1, "outside any [section]"},
                                         BadIni{"[bio_module]\n\nbsize 16\n", 3, "expected 'key = value'"},
                                         BadIni{"[bio_module]\n = 16\n", 2, "empty key"},
                                         BadIni{"[bio_module\n", 1, "without closing ']'"},
                                         BadIni{"[bio module]\n", 1, "bad section name"},
                                         BadIni{"[]\n", 1, "bad section name"},
                                         BadIni{"[s]\nk = \"open\n", 2, "unterminated quoted value"},
                                         BadIni{"[s]\nk = \"\n", 2, "unterminated quoted value"},
                                         BadIni{"[s]\nk = 1\n; c\nk = 2\n", 4, "given twice in [s]"}));

TEST(BioHostIniReader, MissingFileRaisesWithThePath) {
    try {
        read_ini_file("/nonexistent/dir/x.ini");
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("/nonexistent/dir/x.ini"), std::string::npos);
    }
}

// The module reads these 19 keys; a shipped file must set each once and nothing else.
const std::set<std::string> module_keys = {"priority",        "watchdog_timeout",
                                           "device_path",     "finger_image_path",
                                           "bsize",           "step",
                                           "img_num",         "min_img_num",
                                           "var_min",         "select_timeout",
                                           "restart_timeout", "finger_detected_delay",
                                           "net_debug_ip",    "net_debug_port",
                                           "net_debug_raw",   "invert",
                                           "fp_reader_path",  "last_fp_reader",
                                           "invert_pixels"};

class BioHostShippedConfig : public testing::TestWithParam<const char*> {};

TEST_P(BioHostShippedConfig, SetsExactlyTheNineteenModuleKeys) {
    const auto entries = read_ini_file(std::string(BIO_SOURCE_DIR) + "/config/" + GetParam());
    std::set<std::string> keys;
    for (const IniEntry& entry : entries) {
        if (entry.section == "bio_module") {
            keys.insert(entry.key);
        }
    }
    EXPECT_EQ(keys, module_keys);
}

INSTANTIATE_TEST_SUITE_P(Files, BioHostShippedConfig, testing::Values("desktop.ini", "board.ini"));

TEST(BioHostBoardConfig, ReadsTheRealDeviceAndTheSysfsModelFile) {
    const auto entries = read_ini_file(std::string(BIO_SOURCE_DIR) + "/config/board.ini");
    std::string device;
    std::string model_file;
    for (const IniEntry& entry : entries) {
        if (entry.key == "device_path") {
            device = entry.value;
        } else if (entry.key == "fp_reader_path") {
            model_file = entry.value;
        }
    }
    EXPECT_EQ(device, "/dev/video0");
    EXPECT_EQ(model_file, "/sys/devices/platform/soc/1c2b400.i2c/i2c-2/2-0021/2-0021/fingerprint_reader");
}

}  // namespace
}  // namespace bio_host
