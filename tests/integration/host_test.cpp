// End-to-end tests of bio-host with the real plug-in over the virtual sensor, judged only by
// what a user sees: the JSON transcript, exit codes and files.
#include <signal.h>

#include <regex>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

namespace bio_it {
namespace {

constexpr int bio_identifier_id = 1651076864;

// Sends quit and expects a clean exit with a summary; returns the summary.
Json quit_and_summary(Process& host) {
    host.write_line("quit");
    const auto code = host.wait_exit(event_wait);
    EXPECT_EQ(code, std::optional<int>(0)) << dump(host);
    const auto objects = transcript(host);
    if (objects.empty() || objects.back().value("kind", "") != "summary") {
        ADD_FAILURE() << "the transcript does not end with a summary:\n" << dump(host);
        return Json::object();
    }
    return objects.back();
}

struct ModelCase {
    const char* model;
    int width;
    int height;
    int var_min;           // the threshold the module applies to this model
    bool announces_model;  // differs from last_fp_reader of desktop.ini (GC032A)
    std::vector<std::string> sets;
};

// Test names carry this, so it must be the same in every run.
void PrintTo(const ModelCase& c, std::ostream* out) {
    *out << c.model;
}

class Models : public testing::TestWithParam<ModelCase> {};

TEST_P(Models, OneTouchPublishesTheImageOfTheModelsSizeThenDetectedThenRemoved) {
    const ModelCase& c = GetParam();
    TempDir dir;
    HostOptions options;
    options.scenario = std::string("model ") + c.model + "\nglass 10f\nfinger 20f\nglass\n";
    options.sets = c.sets;
    auto host = start_host(dir, options);
    ASSERT_TRUE(expect_line(*host, is_kind("started"), "started line", 0, start_wait));

    const auto image = expect_line(*host, is_bus("identifier_new_biometric_image"), "image");
    ASSERT_TRUE(image);
    const Json& fields = image->second["fields"];
    EXPECT_EQ(fields["identifier_id"], bio_identifier_id);
    EXPECT_EQ(fields["width"], c.width);
    EXPECT_EQ(fields["height"], c.height);
    EXPECT_EQ(fields["image"]["bytes"], c.width * c.height);
    EXPECT_TRUE(fields.contains("device_id"));
    EXPECT_TRUE(
        std::regex_match(fields["uuid"].get<std::string>(),
                         std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
        << fields.dump();
    EXPECT_GE(fields["variance"].get<int>(), c.var_min);
    if (c.width == 0) {
        EXPECT_EQ(fields["image"]["fnv1a64"], "cbf29ce484222325");  // nothing hashed
    }
    const auto detected =
        expect_line(*host, is_bus("bio_module_finger_detected"), "finger detected", image->first);
    ASSERT_TRUE(detected);
    EXPECT_TRUE(detected->second["fields"].empty());
    ASSERT_TRUE(expect_line(*host, is_bus("bio_module_finger_removed"), "finger removed", detected->first));

    // A model other than the recorded one is written back and announced.
    bool announced = false;
    for (const Json& m : bus_messages(*host, "config_param_set")) {
        announced |= m["fields"]["param"] == "last_fp_reader" && m["fields"]["value"] == c.model;
    }
    EXPECT_EQ(announced, c.announces_model) << dump(*host);

    const Json summary = quit_and_summary(*host);
    EXPECT_EQ(summary["touches"], 1);
    EXPECT_EQ(summary["finger_removed"], 1);
    EXPECT_EQ(summary["finger_detected"], 1);
    EXPECT_GE(summary["frames"].get<int>(), 30);
    EXPECT_EQ(summary["restarts"], 0);
}

INSTANTIATE_TEST_SUITE_P(
    Sensors, Models,
    testing::Values(ModelCase{"GC0307", 260, 320, 1000, true, {}},
                    ModelCase{"GC0328", 260, 320, 1000, true, {}},
                    ModelCase{"GC032A", 260, 350, 300, false, {}},
                    // An unknown model has no threshold of its own: it keeps the configured one.
                    ModelCase{"XYZ", 0, 0, 300, false, {"last_fp_reader=XYZ", "var_min=300"}}),
    [](const testing::TestParamInfo<ModelCase>& param_info) { return std::string(param_info.param.model); });

TEST(DemoScenario, LongTouchIsPublishedShortOneEarlyAndTheSingleFrameNot) {
    TempDir dir;
    HostOptions options;
    options.scenario = read_file(std::string(BIO_SOURCE_DIR) + "/config/scenarios/demo.txt");
    options.log_level = "debug";
    auto host = start_host(dir, options);
    ASSERT_TRUE(expect_line(*host, is_kind("started"), "started line", 0, start_wait));
    // Past the last touch (15 + 30 + 15 + 3 + 15 + 1 frames) and some glass.
    ASSERT_TRUE(command(*host, "wait frames 110"));
    const Json summary = quit_and_summary(*host);
    EXPECT_EQ(summary["touches"], 2);
    EXPECT_EQ(summary["finger_removed"], 2);
    EXPECT_EQ(summary["finger_detected"], 2);
    // Bus order: image, detected, removed for each published touch.
    std::vector<std::string> order;
    int early = 0;
    for (const Json& object : transcript(*host)) {
        if (object.value("kind", "") == "bus" &&
            object.value("type", "").rfind("bio_module_finger", 0) == 0) {
            order.push_back(object["type"]);
        } else if (object.value("kind", "") == "bus" && object["type"] == "identifier_new_biometric_image") {
            order.push_back("image");
        }
        early += object.value("kind", "") == "log" &&
                 object.value("text", "") == "################ Dedo Precoce!!!!!!";
    }
    const std::vector<std::string> expected{
        "image", "bio_module_finger_detected", "bio_module_finger_removed",
        "image", "bio_module_finger_detected", "bio_module_finger_removed"};
    EXPECT_EQ(order, expected);
    EXPECT_EQ(early, 1);
}

TEST(CameraNeverStarts, InitFailsWithTheCameraTextAfterThreeAttemptsAndExitStatus1) {
    TempDir dir;
    HostOptions options;
    options.scenario = "fault streamon EIO count=all\nglass\n";
    options.log_level = "debug";
    options.sets = {"restart_timeout=10"};
    auto host = start_host(dir, options);
    const auto failed = expect_line(*host, is_kind("init_failed"), "init failure", 0, start_wait);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->second["error"], "Unable to start capture: Input/output error");
    EXPECT_EQ(host->wait_exit(event_wait), std::optional<int>(1));
    int attempts = 0;
    for (const Json& object : transcript(*host)) {
        attempts += object.value("kind", "") == "log" && object.value("text", "") == "Initializing module";
        EXPECT_NE(object.value("kind", ""), "started");
    }
    EXPECT_EQ(attempts, 3);
}

TEST(CameraNeverStarts, MissingDeviceNamesThePath) {
    TempDir dir;
    write_file(dir.file("model"), "GC032A");
    HostOptions options;
    options.simulate = false;
    options.sets = {"device_path=" + dir.file("video9"), "fp_reader_path=" + dir.file("model"),
                    "restart_timeout=0"};
    auto host = start_host(dir, options);
    const auto failed = expect_line(*host, is_kind("init_failed"), "init failure", 0, start_wait);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->second["error"],
              "Unable to open camera device (" + dir.file("video9") + "): No such file or directory");
    EXPECT_EQ(host->wait_exit(event_wait), std::optional<int>(1));
}

TEST(CameraStalls, RestartsReportsTheLateKeepAliveAndPublishesAfterRecovery) {
    TempDir dir;
    HostOptions options;
    // The sensor delivers nothing for 2.2 s after frame 10; frames wait 1 s each.
    options.scenario = "stall after=10 ms=2200\nglass 20f\nfinger 20f\nglass\n";
    options.log_level = "debug";
    options.sets = {"select_timeout=1000", "watchdog_timeout=500", "restart_timeout=50"};
    auto host = start_host(dir, options);
    ASSERT_TRUE(expect_line(*host, is_kind("started"), "started line", 0, start_wait));
    const auto restart = expect_line(
        *host,
        [](const std::string& line) {
            const auto o = parse_line(line);
            return o && o->value("kind", "") == "log" && o->value("text", "") == "Restarting module.." &&
                   o->value("function", "") == "capture_image";
        },
        "camera restart");
    ASSERT_TRUE(restart);
    const auto late = expect_line(
        *host,
        [](const std::string& line) {
            const auto o = parse_line(line);
            return o && o->value("kind", "") == "watchdog" && o->value("event", "") == "late";
        },
        "late keep-alive", restart->first);
    ASSERT_TRUE(late);
    EXPECT_GT(late->second["gap_ms"].get<int>(), 1000);
    EXPECT_EQ(late->second["limit_ms"], 1000);
    ASSERT_TRUE(
        expect_line(*host, is_bus("identifier_new_biometric_image"), "image after recovery", late->first));
    ASSERT_TRUE(
        expect_line(*host, is_bus("bio_module_finger_removed"), "removal after recovery", late->first));
    const Json summary = quit_and_summary(*host);
    EXPECT_GE(summary["restarts"].get<int>(), 1);
    EXPECT_GE(summary["late_keep_alives"].get<int>(), 1);
    EXPECT_EQ(summary["touches"], 1);
}

// Polls "status" until `done` holds for it; returns the last status object.
Json status_until(Process& host, const std::function<bool(const Json&)>& done) {
    Json last;
    const auto deadline = std::chrono::steady_clock::now() + event_wait;
    while (std::chrono::steady_clock::now() < deadline) {
        const std::size_t from = host.lines().size();
        host.write_line("status");
        const auto status = expect_line(host, is_kind("status"), "status", from);
        if (!status) {
            break;
        }
        last = status->second;
        if (done(last)) {
            return last;
        }
        std::this_thread::sleep_for(200ms);  // a keep-alive comes once a second: nothing to await
    }
    ADD_FAILURE() << "status never reached the expected state; last: " << last.dump();
    return last;
}

TEST(BusCommands, EnableDisableCatraAndExceptionModeMidTouch) {
    TempDir dir;
    HostOptions options;
    options.scenario = "glass 10f\nfinger 150f\nglass\n";
    auto host = start_host(dir, options);
    ASSERT_TRUE(expect_line(*host, is_kind("started"), "started line", 0, start_wait));
    const auto image = expect_line(*host, is_bus("identifier_new_biometric_image"), "image");
    ASSERT_TRUE(image);

    // Disabled in the middle of the touch: the loop parks, keeps feeding the watchdog and
    // takes no frames.
    const auto disabled = command(*host, "disable", image->first);
    ASSERT_TRUE(disabled);
    ASSERT_TRUE(expect_line(*host, is_bus("bio_module_disable"), "disable message", image->first));
    const Json first = status_until(*host, [](const Json& s) { return s["enabled"] == false; });
    const Json later = status_until(*host, [&](const Json& s) {
        return s["keep_alives"].get<int>() >= first["keep_alives"].get<int>() + 2;
    });
    EXPECT_LE(later["frames"].get<int>(), first["frames"].get<int>() + 1);

    ASSERT_TRUE(command(*host, "catra 11"));
    EXPECT_EQ(status_until(*host, [](const Json& s) { return s["enabled"] == true; })["enabled"], true);
    ASSERT_TRUE(command(*host, "catra 12"));
    EXPECT_EQ(status_until(*host, [](const Json& s) { return s["enabled"] == false; })["enabled"], false);
    ASSERT_TRUE(command(*host, "catra 13"));  // neither: no change
    EXPECT_EQ(status_until(*host, [](const Json&) { return true; })["enabled"], false);
    ASSERT_TRUE(command(*host, "config exception_mode normal"));
    EXPECT_EQ(status_until(*host, [](const Json& s) { return s["enabled"] == true; })["enabled"], true);
    ASSERT_TRUE(command(*host, "config exception_mode degraded"));
    EXPECT_EQ(status_until(*host, [](const Json& s) { return s["enabled"] == false; })["enabled"], false);
    const auto enabled = command(*host, "enable");
    ASSERT_TRUE(enabled);

    // The rest of the touch is the same touch: no second image, one removal at its end.
    ASSERT_TRUE(expect_line(*host, is_bus("bio_module_finger_removed"), "removal", enabled->first));
    bool announced_mode = false;
    for (const Json& m : bus_messages(*host, "config_param_set")) {
        announced_mode |= m["fields"]["param"] == "exception_mode" && m["fields"]["value"] == "degraded";
    }
    EXPECT_TRUE(announced_mode);
    EXPECT_EQ(bus_messages(*host, "catra_event").size(), 3u);
    const Json summary = quit_and_summary(*host);
    EXPECT_EQ(summary["touches"], 1);
    EXPECT_EQ(summary["finger_removed"], 1);
    // Under an emulator on a loaded machine one keep-alive may come late for reasons that have
    // nothing to do with the gate; natively none may.
    if (emulator_string().empty()) {
        EXPECT_EQ(summary["late_keep_alives"], 0);
    }
}

struct DelayStep {
    const char* command;
    int rows;        // templates stored afterwards
    double low_ms;   // the finger-detected event follows the image this much later at least
    double high_ms;  // and less than this
};

TEST(TemplateCount, FingerDetectedDelayFollowsTheThresholds) {
    TempDir dir;
    HostOptions options;
    options.scenario = "glass 10f\nfinger 10f\nrepeat\n";
    auto host = start_host(dir, options);
    ASSERT_TRUE(expect_line(*host, is_kind("started"), "started line", 0, start_wait));
    const DelayStep steps[] = {
        {"templates add 4000", 4000, 0, 0},      // up to 4000: at once
        {"templates add 1", 4001, 50, 150},      // above 4000: 50 ms
        {"templates add 2000", 6001, 150, 250},  // above 6000: 150 ms
        {"templates delete 1", 6000, 50, 150},   // back to 6000: 50 ms
    };
    for (const DelayStep& step : steps) {
        SCOPED_TRACE(step.command);
        const auto ack = command(*host, step.command);
        ASSERT_TRUE(ack);
        EXPECT_EQ(ack->second["rows"], step.rows);
        // The acknowledgement comes after the bus delivered the record message, so the next
        // image is published with the new count.
        const auto image = expect_line(*host, is_bus("identifier_new_biometric_image"), "image", ack->first);
        ASSERT_TRUE(image);
        const auto detected =
            expect_line(*host, is_bus("bio_module_finger_detected"), "finger detected", image->first);
        ASSERT_TRUE(detected);
        const double delay_ms =
            (detected->second["t"].get<double>() - image->second["t"].get<double>()) * 1000.0;
        EXPECT_EQ(image->second["thread"], "bio_module");
        if (step.low_ms == 0) {
            // At once: sent by the capture loop itself, right after the image.
            EXPECT_EQ(detected->second["thread"], "bio_module");
            EXPECT_EQ(detected->second["seq"].get<int>(), image->second["seq"].get<int>() + 1);
        } else {
            // Delayed: sent by the module's consumer thread when the delay has run.
            EXPECT_EQ(detected->second["thread"], "bio_module_run");
            EXPECT_GE(delay_ms, step.low_ms);
            // The upper bound tells the tiers apart; an emulated run posts late.
            if (emulator_string().empty()) {
                EXPECT_LT(delay_ms, step.high_ms);
            }
        }
    }
    quit_and_summary(*host);
}

TEST(Identification, DisabledPublishesNothingButRemovalsUntilSwitchedOn) {
    TempDir dir;
    HostOptions options;
    // A long touch and an early-path one per round.
    options.scenario = "glass 10f\nfinger 20f\nglass 10f\nfinger 3f\nglass 10f\nrepeat\n";
    options.sets = {"identifier.identification_enabled_1651076864=0"};
    auto host = start_host(dir, options);
    ASSERT_TRUE(expect_line(*host, is_kind("started"), "started line", 0, start_wait));
    const auto first = expect_line(*host, is_bus("bio_module_finger_removed"), "first removal");
    ASSERT_TRUE(first);
    const auto second =
        expect_line(*host, is_bus("bio_module_finger_removed"), "second removal", first->first + 1);
    ASSERT_TRUE(second);
    EXPECT_TRUE(bus_messages(*host, "identifier_new_biometric_image").empty());
    EXPECT_TRUE(bus_messages(*host, "bio_module_finger_detected").empty());

    const auto on = command(*host, "identification on");
    ASSERT_TRUE(on);
    const auto image = expect_line(*host, is_bus("identifier_new_biometric_image"), "image", on->first);
    ASSERT_TRUE(image);
    ASSERT_TRUE(expect_line(*host, is_bus("bio_module_finger_detected"), "finger detected", image->first));
    quit_and_summary(*host);
}

TEST(BusCommands, BroadcastIsAnsweredWithTheModulesIdentifierId) {
    TempDir dir;
    HostOptions options;
    options.scenario = "glass\n";
    auto host = start_host(dir, options);
    ASSERT_TRUE(expect_line(*host, is_kind("started"), "started line", 0, start_wait));
    const auto ack = command(*host, "broadcast");
    ASSERT_TRUE(ack);
    const auto reply = expect_line(*host, is_kind("reply"), "broadcast reply");
    ASSERT_TRUE(reply);
    EXPECT_LT(reply->first, ack->first);
    EXPECT_EQ(reply->second["fields"], Json::parse(R"({"count":1,"identifier_id_0":1651076864})"));
    quit_and_summary(*host);
}

TEST(BusCommands, UnknownCommandIsRefusedAndBioHostGoesOn) {
    TempDir dir;
    HostOptions options;
    options.scenario = "glass\n";
    auto host = start_host(dir, options);
    ASSERT_TRUE(expect_line(*host, is_kind("started"), "started line", 0, start_wait));
    host->write_line("frobnicate 3");
    const auto ack = expect_line(*host, is_ack("frobnicate 3"), "refusal");
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->second["ok"], false);
    EXPECT_EQ(ack->second["error"], "unknown command 'frobnicate' (type help)");
    quit_and_summary(*host);
}

class StopSignals : public testing::TestWithParam<int> {};

TEST_P(StopSignals, StopCleanlyWithASummary) {
    TempDir dir;
    HostOptions options;
    options.scenario = "glass 10f\nfinger 20f\nglass\n";
    auto host = start_host(dir, options);
    ASSERT_TRUE(expect_line(*host, is_kind("started"), "started line", 0, start_wait));
    ASSERT_TRUE(expect_line(*host, is_bus("bio_module_finger_removed"), "removal"));
    host->send_signal(GetParam());
    EXPECT_EQ(host->wait_exit(event_wait), std::optional<int>(0)) << dump(*host);
    const auto objects = transcript(*host);
    ASSERT_GE(objects.size(), 2u);
    EXPECT_EQ(objects[objects.size() - 2]["kind"], "stopping");
    EXPECT_EQ(objects[objects.size() - 2]["reason"], GetParam() == SIGINT ? "SIGINT" : "SIGTERM");
    EXPECT_EQ(objects.back()["kind"], "summary");
    EXPECT_EQ(objects.back()["touches"], 1);
    // The private directory of the simulated sensor is gone.
    EXPECT_TRUE(list_files(dir.path(), "bio-host-sim.").empty());
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignals, testing::Values(SIGINT, SIGTERM),
                         [](const testing::TestParamInfo<int>& param_info) {
                             return std::string(param_info.param == SIGINT ? "SIGINT" : "SIGTERM");
                         });

TEST(RunEnds, AnExceptionLeavingRunIsReportedWithItsTextAndExitStatus3) {
    TempDir dir;
    HostOptions options;
    // An unknown model publishes an empty image, which the PNG writer refuses.
    options.scenario = "model XYZ\nglass 10f\nfinger 20f\nglass\n";
    options.sets = {"last_fp_reader=XYZ", "var_min=300", "finger_image_path=" + dir.file("finger.png")};
    auto host = start_host(dir, options);
    const auto ended = expect_line(*host, is_kind("run_ended"), "end of run", 0, start_wait);
    ASSERT_TRUE(ended);
    EXPECT_EQ(ended->second["error"].get<std::string>().rfind("png format cannot handle empty views.", 0), 0u)
        << ended->second.dump();
    EXPECT_EQ(host->wait_exit(event_wait), std::optional<int>(3));
    const auto images = bus_messages(*host, "identifier_new_biometric_image");
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0]["fields"]["width"], 0);
    EXPECT_EQ(transcript(*host).back()["kind"], "summary");
}

TEST(Options, SecondsStopsByItselfAndThePluginIsFoundNextToTheBuild) {
    TempDir dir;
    HostOptions options;
    options.scenario = "glass\n";
    options.explicit_plugin = false;
    options.args = {"--seconds", "1"};
    auto host = start_host(dir, options);
    const auto started = expect_line(*host, is_kind("started"), "started line", 0, start_wait);
    ASSERT_TRUE(started);
    EXPECT_EQ(started->second["name"], "bio_module");
    EXPECT_EQ(started->second["listeners"], 8);
    const std::string plugin = started->second["plugin"];
    EXPECT_NE(plugin.find("libbio_module.so"), std::string::npos);
    EXPECT_EQ(host->wait_exit(event_wait), std::optional<int>(0)) << dump(*host);
    const auto objects = transcript(*host);
    ASSERT_GE(objects.size(), 2u);
    EXPECT_EQ(objects[objects.size() - 2]["reason"], "seconds");
}

TEST(Options, MalformedConfigurationStopsWithFileAndLineAndStatus2) {
    TempDir dir;
    write_file(dir.file("bad.ini"), "[bio_module]\nbsize 16\n");
    HostOptions options;
    options.scenario = "glass\n";
    options.config = dir.file("bad.ini");
    auto host = start_host(dir, options);
    EXPECT_EQ(host->wait_exit(start_wait), std::optional<int>(2));
    EXPECT_NE(host->stderr_text().find(dir.file("bad.ini") + ":2: expected 'key = value'"), std::string::npos)
        << host->stderr_text();
}

TEST(Options, UnknownLogLevelIsAUsageError) {
    TempDir dir;
    HostOptions options;
    options.scenario = "glass\n";
    options.log_level = "loud";
    auto host = start_host(dir, options);
    EXPECT_EQ(host->wait_exit(start_wait), std::optional<int>(2));
}

TEST(Options, AMissingKeyIsNamedAndInitFailsWithTheStoresText) {
    TempDir dir;
    // The shipped file without its bsize line.
    std::string text = read_file(std::string(BIO_SOURCE_DIR) + "/config/desktop.ini");
    const auto line = text.find("\nbsize = ");
    ASSERT_NE(line, std::string::npos);
    text.erase(line, text.find('\n', line + 1) - line);
    write_file(dir.file("lacking.ini"), text);
    HostOptions options;
    options.scenario = "glass\n";
    options.config = dir.file("lacking.ini");
    auto host = start_host(dir, options);
    const auto failed = expect_line(*host, is_kind("init_failed"), "init failure", 0, start_wait);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->second["error"], "configuration key bio_module/bsize is missing");
    EXPECT_EQ(host->wait_exit(event_wait), std::optional<int>(1));
    EXPECT_NE(host->stderr_text().find("lacks keys of [bio_module]: bsize"), std::string::npos)
        << host->stderr_text();
}

TEST(TextOutput, ShowsOneLinePerMessageWithTheImageAsSizeAndDigest) {
    TempDir dir;
    HostOptions options;
    options.json = false;
    options.scenario = "glass 10f\nfinger 20f\nglass\n";
    auto host = start_host(dir, options);
    const std::regex image_line(
        R"(bus #\d+ \+\d+\.\d{3}s identifier_new_biometric_image identifier_id=1651076864 device_id=-?\d+ )"
        R"(width=260 height=350 image=<91000 bytes fnv1a64:[0-9a-f]{16}> uuid="[0-9a-f-]{36}" variance=\d+)");
    ASSERT_TRUE(
        host->wait_line([&](const std::string& l) { return std::regex_match(l, image_line); }, start_wait))
        << dump(*host);
    ASSERT_TRUE(host->wait_line(
        [](const std::string& l) { return l.find(" bio_module_finger_removed") != std::string::npos; },
        event_wait));
    host->write_line("quit");
    EXPECT_EQ(host->wait_exit(event_wait), std::optional<int>(0));
    const auto lines = host->lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(std::regex_match(
        lines.back(), std::regex(R"(summary: touches published 1, finger-removed events 1, frames seen )"
                                 R"(\d+, camera restarts 0, .*)")))
        << lines.back();
}

}  // namespace
}  // namespace bio_it
