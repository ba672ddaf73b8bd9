// The plug-in loader and the Plugin registration object: the loader's failure lines, a
// plug-in's listeners, and how the end of its run is reported.
#include <fstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ovra/host.h"
#include "ovra/plugin.h"
#include "ovra/post_office.h"
#include "test_support.h"

namespace {

using ovra::host::PluginHost;
using ovrafw_test::kWait;

class OvraLoader : public ovrafw_test::HostTest {};

TEST_F(OvraLoader, MissingFile) {
    PluginHost host;
    std::string error;
    EXPECT_FALSE(host.load("/nonexistent/libnothing.so", &error));
    EXPECT_EQ(error, "plugin /nonexistent/libnothing.so: no such file");
}

TEST_F(OvraLoader, FileThatIsNoLibraryGivesTheLoadersReason) {
    ovrafw_test::TempDir dir;
    const std::string path = dir.file("garbage.so");
    std::ofstream(path) << "not a shared object\n";
    PluginHost host;
    std::string error;
    EXPECT_FALSE(host.load(path, &error));
    EXPECT_THAT(error, ::testing::HasSubstr(path));
    EXPECT_THAT(error, ::testing::Not(::testing::HasSubstr("no such file")));
}

TEST_F(OvraLoader, LibraryWithoutInit) {
    PluginHost host;
    std::string error;
    EXPECT_FALSE(host.load(OVRAFW_NO_INIT_PLUGIN, &error));
    EXPECT_EQ(error, std::string("plugin ") + OVRAFW_NO_INIT_PLUGIN + ": no 'init' symbol");
}

TEST_F(OvraLoader, InitReturningZeroGivesThePluginsText) {
    PluginHost host;
    std::string error;
    EXPECT_FALSE(host.load(OVRAFW_FAILING_INIT_PLUGIN, &error));
    EXPECT_EQ(error, std::string("plugin ") + OVRAFW_FAILING_INIT_PLUGIN + ": init failed: camera not found");
    EXPECT_FALSE(host.start());  // no run was registered
}

TEST_F(OvraLoader, LoadedPluginAnswersOnTheBus) {
    ovrafw_test::TapRecorder tap;
    PluginHost host;
    std::string error;
    ASSERT_TRUE(host.load(OVRAFW_GOOD_PLUGIN, &error)) << error;
    EXPECT_EQ(host.plugin().name(), "test_plugin");
    ASSERT_EQ(host.plugin().listeners().size(), 1u);
    EXPECT_EQ(host.plugin().listeners()[0].type, "test_plugin_ping");
    EXPECT_TRUE(host.plugin().listeners()[0].flag);

    auto* ping = new ovra::Message("test_plugin_ping", 0, nullptr);
    ping->add_int("n", 41);
    ovra::PostOffice::send_message(ping);
    ASSERT_TRUE(tap.wait_for("test_plugin_pong", 1, kWait));
    EXPECT_EQ(tap.of_type("test_plugin_pong")[0].number("n"), std::optional<std::int64_t>(41));
}

TEST_F(OvraLoader, RunEndingWithAnExceptionIsLoggedAndReported) {
    ovra::host::MemoryLogSink log;
    PluginHost host;
    std::string error;
    ASSERT_TRUE(host.load(OVRAFW_GOOD_PLUGIN, &error)) << error;
    std::mutex mutex;
    std::string observed;
    host.on_exit([&](const std::string& what) {
        std::lock_guard<std::mutex> lock(mutex);
        observed = what;
    });
    EXPECT_FALSE(host.wait_exit(std::chrono::milliseconds(0)).has_value());  // not started
    ASSERT_TRUE(host.start());
    EXPECT_FALSE(host.start());
    EXPECT_EQ(host.wait_exit(kWait), std::optional<std::string>("capture loop stopped"));
    EXPECT_FALSE(host.running());
    EXPECT_EQ(log.count("plugin test_plugin: run ended: capture loop stopped"), 1);
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(observed, "capture loop stopped");
    }
    std::string late;
    host.on_exit([&](const std::string& what) { late = what; });  // after the end: told at once
    EXPECT_EQ(late, "capture loop stopped");
}

TEST_F(OvraLoader, RunThatReturnsIsReportedWithItsValue) {
    PluginHost host;
    std::string error;
    ASSERT_TRUE(host.load(OVRAFW_RETURNING_PLUGIN, &error)) << error;
    ASSERT_TRUE(host.start());
    EXPECT_EQ(host.wait_exit(kWait), std::optional<std::string>("run returned 7"));
}

TEST_F(OvraLoader, SecondLoadIsRefused) {
    PluginHost host;
    std::string error;
    ASSERT_TRUE(host.load(OVRAFW_RETURNING_PLUGIN, &error)) << error;
    EXPECT_FALSE(host.load(OVRAFW_GOOD_PLUGIN, &error));
    EXPECT_EQ(error, std::string("plugin ") + OVRAFW_GOOD_PLUGIN + ": a plug-in is already loaded");
}

int plugin_calls = 0;
void count_call(ovra::Message*) {
    ++plugin_calls;
}

TEST_F(OvraLoader, PluginCopiesListenersAndUnregistersThemWhenDestroyed) {
    plugin_calls = 0;
    {
        ovra::Plugin plugin;
        {
            const ovra::MessageListener listeners[] = {{"a", count_call, false}, {"b", count_call, true}};
            plugin.add_messages_interested(listeners, 2);
        }  // the array is gone; the plug-in keeps its copy
        ASSERT_EQ(plugin.listeners().size(), 2u);
        EXPECT_EQ(plugin.listeners()[1].type, "b");
        ovra::PostOffice::send_message(new ovra::Message("a", 0, nullptr));
        ovra::PostOffice::send_message(new ovra::Message("b", 0, nullptr));
        ASSERT_TRUE(ovra::PostOffice::flush(kWait));
        EXPECT_EQ(plugin_calls, 2);
    }
    ovra::PostOffice::send_message(new ovra::Message("a", 0, nullptr));
    ASSERT_TRUE(ovra::PostOffice::flush(kWait));
    EXPECT_EQ(plugin_calls, 2);
}

}  // namespace
