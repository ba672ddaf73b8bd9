// bio-host's loose ends: the private directory goes on every way out, --set reads values as
// the configuration file does, and the finger image and the database are private.
#include <sys/stat.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "child.h"
#include "ini.h"

namespace {

using namespace hardening;

struct RefusalCase {
    const char* name;
    std::string scenario;
    std::vector<std::string> args;
    std::vector<std::string> env;
    int status;
};

TEST(HostExit, PrivateDirectoryGoesOnEveryRefusal) {
    const std::vector<RefusalCase> cases = {
        {"a line the sensor refuses", "glass 1f\nbogus 2\n", {}, {}, 2},
        {"a sensor variable the sensor refuses", "sensor FPS=fast\nglass 1f\n", {}, {}, 2},
        {"--set without a key", "glass 1f\n", {"--set", "=1"}, {}, 2},
        {"--set with an empty section", "glass 1f\n", {"--set", ".img_num=1"}, {}, 2},
        {"a plug-in that registers no run function", "glass 1f\n", {"--plugin", NORUN_PLUGIN_SO}, {}, 1},
        {"an emulator that cannot be executed", "glass 1f\n", {}, {"BIO_EMULATOR=/nonexistent/emulator"}, 2},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir tmp;
        TempDir dir;
        std::ofstream(dir.path / "scenario.txt") << c.scenario;
        // The plug-in of the build tree, unless the case names one.
        std::vector<std::string> argv = {BIO_HOST_EXE, "--simulate", (dir.path / "scenario.txt").string(),
                                         "--seconds", "1"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        std::vector<std::string> env = c.env;
        env.push_back("TMPDIR=" + tmp.path.string());
        Child host(argv, env);
        EXPECT_EQ(host.wait_exit(scaled(30s)), c.status) << host.output();
        EXPECT_TRUE(fs::is_empty(tmp.path)) << fs::directory_iterator(tmp.path)->path();
    }
}

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

TEST(HostFiles, FingerImageFollowsTheUmaskAndTheDatabaseIsPrivate) {
    struct Case {
        std::vector<std::string> args;
        unsigned image_mode;
    };
    const mode_t old_mask = ::umask(022);
    for (const Case& c : {Case{{}, 0600}, Case{{"--umask", "022"}, 0644}}) {
        SCOPED_TRACE(c.image_mode);
        TempDir dir;
        std::ofstream(dir.path / "scenario.txt") << "finger 20f\nglass 100f\n";
        std::vector<std::string> argv = {BIO_HOST_EXE,
                                         "--simulate",
                                         (dir.path / "scenario.txt").string(),
                                         "--plugin",
                                         BIO_PLUGIN_SO,
                                         "--db",
                                         (dir.path / "host.db").string(),
                                         "--set",
                                         "finger_image_path=" + (dir.path / "finger.png").string()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Child host(argv, {"TMPDIR=" + dir.path.string()});
        host.write("wait frames 12\nquit\n");
        EXPECT_EQ(host.wait_exit(scaled(60s)), 0) << host.output();
        EXPECT_EQ(mode_of(dir.path / "finger.png"), c.image_mode);
        EXPECT_EQ(mode_of(dir.path / "host.db"), 0600u);
    }
    ::umask(old_mask);
}

TEST(HostFiles, DatabaseLinkIsNotFollowed) {
    TempDir dir;
    fs::create_symlink(dir.path / "elsewhere.db", dir.path / "host.db");
    Child host(
        {BIO_HOST_EXE, "--plugin", BIO_PLUGIN_SO, "--db", (dir.path / "host.db").string(), "--seconds", "1"});
    EXPECT_EQ(host.wait_exit(scaled(30s)), 2) << host.output();
    EXPECT_FALSE(fs::exists(dir.path / "elsewhere.db"));
}

}  // namespace
