// End-to-end runs of bio-host with the real plug-in over the virtual sensor, and of bio-stream
// receiving its debug stream, judged by what a user sees: transcript lines, exit status, files.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "bio_common/text.h"
#include "bio_test/files.h"
#include "bio_test/png.h"
#include "bio_test/process.h"
#include "recording/recording.h"

namespace {

using Json = nlohmann::json;
using Lines = std::vector<std::string>;
using bio_test::Process;

constexpr std::chrono::seconds run_limit{120};  // sanitizers and qemu are many times slower
const bool emulated = !bio_test::emulator().empty();

// bio-host's environment: its private directory under `tmp`; under an emulator, which cannot run
// bio-host again with the sensor preloaded, the emulator preloads it (configured in place).
std::vector<std::string> host_env(const std::string& tmp) {
    std::vector<std::string> env{"TMPDIR=" + tmp};
    if (emulated) {
        env.emplace_back("QEMU_SET_ENV=LD_PRELOAD=" VSENSOR_LIB);
    }
    return env;
}

struct Row {
    const char* name;
    std::string scenario;  // scenario text; "@path" in the repository; empty: no --simulate
    std::string options;   // further bio-host words; %d is the test's directory, %p bio-stream's port
    std::string commands;  // standard input
    int status;            // exit status
    std::string expect;    // lines matched in order, one a line: a JSON fragment (see holds) or a regex
    const char* config = nullptr;  // configuration file text instead of config/desktop.ini
    int signal = 0;                // sent once a line matches the first expectation
    bool stream = false;  // bio-stream receives the debug stream (see streamed_frames_and_finger_file)
};

void PrintTo(const Row& row, std::ostream* out) {  // test names carry it: the same in every run
    *out << row.name;
}

// `line` has every member of `want`, recursively. A string "<N" or ">N" bounds a number; a member
// "+key" is line's key less `before`'s (the line matched last); "~key" is checked only natively.
bool holds(const Json& line, const Json& want, const Json& before = {}) {
    if (want.is_string() && line.is_number()) {
        const double limit = std::stod(want.get<std::string>().substr(1));
        return want.get<std::string>()[0] == '<' ? line.get<double>() < limit : line.get<double>() > limit;
    }
    if (!want.is_object()) {
        return line == want;
    }
    for (const auto& [key, value] : want.items()) {
        const bool relative = key.find('+') != std::string::npos;
        const std::string name = key.substr(key.find_first_not_of("~+"));
        if (!(key[0] == '~' && emulated) &&
            (!line.contains(name) || (relative && !before.contains(name)) ||
             !holds(relative ? Json(line[name].get<double>() - before[name].get<double>()) : line[name],
                    value))) {
            return false;
        }
    }
    return true;
}

Json parsed(const std::string& line) {
    Json object = line[0] == '{' ? Json::parse(line, nullptr, false) : Json();
    return object.is_object() ? object : Json::object();
}

bool matches(const std::string& pattern, const std::string& line, const Json& before = {}) {
    return pattern[0] == '{' ? holds(parsed(line), Json::parse(pattern), before)
                             : std::regex_search(line, std::regex(pattern));
}

void expect_in_order(const std::string& expect, const Lines& lines) {
    std::size_t at = 0;
    std::istringstream patterns(expect);
    for (std::string pattern; std::getline(patterns, pattern);) {
        const Json before = at > 0 ? parsed(lines[at - 1]) : Json();
        while (!pattern.empty() && at < lines.size() && !matches(pattern, lines[at], before)) {
            ++at;
        }
        if (!pattern.empty() && at++ == lines.size()) {
            ADD_FAILURE() << "no line on from the last match matches " << pattern;
            return;
        }
    }
}

std::string substituted(const std::string& text, const std::string& dir, const std::string& port,
                        const std::string& digest = "") {
    const std::string with_dir = std::regex_replace(text, std::regex("%d"), dir);
    return std::regex_replace(std::regex_replace(with_dir, std::regex("%p"), port), std::regex("%f"), digest);
}

// bio-stream got every frame the module streamed (bio-host's count, final once it closed the stream) whole,
// as a 260 x 350 grey image with its score, 40 of them scoring as a finger. Returns the digest of the
// finger file's image, which must be grey in all three channels.
std::string streamed_frames_and_finger_file(const Lines& host, const std::string& dir, Process& stream) {
    const int frames = parsed(host.back())["frames_streamed"];
    const std::string last = "frame " + std::to_string(frames) + ":";
    EXPECT_TRUE(
        stream.wait_line([&](const std::string& line) { return line.rfind(last, 0) == 0; }, run_limit));
    stream.signal(SIGTERM);
    EXPECT_EQ(stream.wait_exit(run_limit), 0);
    std::istringstream csv(bio_test::read_file(dir + "/scores.csv"));
    std::smatch cells;
    int rows = 0;
    int finger_frames = 0;
    for (std::string line; std::getline(csv, line);) {
        if (std::regex_match(line, cells, std::regex("(\\d+),(\\d+),grey-260x350,91000,whole,0"))) {
            EXPECT_EQ(std::stoi(cells[1]), ++rows);
            finger_frames += std::stoi(cells[2]) >= 300;
        } else {
            EXPECT_EQ(line, "frame,score,kind,bytes,state,missing_before");
        }
    }
    EXPECT_EQ(rows, frames);
    EXPECT_EQ(finger_frames, 40);
    const bio_test::Png file = bio_test::decode_png(dir + "/finger.png");
    std::vector<unsigned char> grey;
    for (std::size_t i = 0; i + 2 < file.samples.size(); i += 3) {
        EXPECT_TRUE(file.samples[i] == file.samples[i + 1] && file.samples[i] == file.samples[i + 2]) << i;
        grey.push_back(file.samples[i]);
    }
    char digest[17];
    std::snprintf(digest, sizeof digest, "%016llx",
                  static_cast<unsigned long long>(bio_common::fnv1a64(grey.data(), grey.size())));
    return digest;
}

const std::string touch = "glass 10f\nfinger 20f\nglass\n";

const Row rows[] = {
    // The demo as text: a long touch published, a short one published early, one frame ignored.
    {"demo_text", "@config/scenarios/demo.txt", "--log-level debug", "broadcast\nwait frames 110\nquit\n", 0,
     R"(
^reply identifier_broadcast_identifier_id count=1 identifier_id_0=1651076864$
identifier_id=1651076864 device_id=-?\d+ width=260 height=350 image=<91000 bytes fnv1a64:[0-9a-f]{16}> uuid="
^bus #\d+ \+\d+\.\d{3}s bio_module_finger_detected$
 bio_module_finger_removed$
 ################ Dedo Precoce!!!!!!$
 identifier_new_biometric_image identifier_id=1651076864 .* width=260 height=350 image=<91000 bytes
 bio_module_finger_detected$
 bio_module_finger_removed$
^summary: touches published 2, finger-removed events 2, frames seen 1\d\d, camera restarts 0, finger-detected events 2, keep-alives [1-9])"},
    // A configured delay of the finger-detected event overrides the template count.
    {"gc0307_delay_200", "model GC0307\n" + touch, "--json --set finger_detected_delay=200",
     "wait frames 45\nquit\n", 0, R"(
{"type":"config_param_set","fields":{"param":"last_fp_reader","value":"GC0307"}}
{"type":"identifier_new_biometric_image","fields":{"width":260,"height":320,"image":{"bytes":83200}}}
{"type":"bio_module_finger_detected","thread":"bio_module_run","+t":">0.1999"})"},
    {"seconds", "glass\n", "--json --seconds 1", "", 0, R"({"kind":"stopping","reason":"seconds"})"},
    // The end of a finite scenario: its last frame taken; a frame count.
    {"until_end", "glass 10f\nfinger 20f\nglass 5f\n", "--json --until-end", "", 0, R"(
{"kind":"stopping","reason":"end","frames":35}
{"kind":"summary","touches":1,"finger_removed":1,"frames":">35"})"},
    // A timeline repeated a number of passes ends after the last.
    {"until_end_passes", "finger 10f\nglass 10f\nrepeat 3\n", "--json --until-end", "", 0, R"(
{"kind":"stopping","reason":"end","frames":60}
{"kind":"summary","touches":3,"finger_removed":3,"frames":">60"})"},
    {"frames", "glass\n", "--json --frames 12", "", 0, R"(
{"kind":"stopping","reason":"frames"}
{"kind":"summary","frames":">11"})"},
    // The device and the identification the module would make, without the module.
    {"probe", "model GC0307\nglass\n", "--json --probe", "", 0,
     R"({"kind":"probe","device":{"driver":"vsensor","capabilities":69206017,"current":{"width":640,"height":480,"fourcc":"UYVY"}},"sensor":{"model":"GC0307","known":true,"var_min_default":1000,"image":{"width":260,"height":320}}})"},
    // The finger-detected delay: none up to 4000 templates, 50 ms above, 150 ms above 6000.
    {"template_delays", "glass 5f\nfinger 6f\nrepeat\n", "--json",
     "templates add 4000\nwait frames 25\ntemplates add 1\nwait frames 50\ntemplates add 2000\n"
     "wait frames 75\ntemplates delete 1\nwait frames 100\nquit\n",
     0, R"(
{"command":"templates add 4000","rows":4000}
{"type":"identifier_new_biometric_image","thread":"bio_module"}
{"type":"bio_module_finger_detected","thread":"bio_module"}
{"command":"templates add 1","rows":4001}
{"type":"identifier_new_biometric_image"}
{"type":"bio_module_finger_detected","thread":"bio_module_run","+t":">0.0499","~+t":"<0.15"}
{"command":"templates add 2000","rows":6001}
{"type":"identifier_new_biometric_image"}
{"type":"bio_module_finger_detected","thread":"bio_module_run","+t":">0.1499","~+t":"<0.25"}
{"command":"templates delete 1","rows":6000}
{"type":"identifier_new_biometric_image"}
{"type":"bio_module_finger_detected","thread":"bio_module_run","+t":">0.0499","~+t":"<0.15"})"},
    {"stall_restarts_camera", "stall after=10 ms=2200\nglass 20f\nfinger 20f\nglass\n",
     "--json --log-level debug --set select_timeout=1000 --set watchdog_timeout=500 --set restart_timeout=50",
     "wait frames 60\nquit\n", 0, R"(
{"kind":"log","function":"capture_image","text":"Restarting module.."}
{"kind":"watchdog","event":"late","gap_ms":">1000","limit_ms":1000}
{"kind":"summary","touches":1,"finger_removed":1,"restarts":">0","late_keep_alives":">0"})"},
    {"start_fails_three_times", "fault streamon EIO count=all\nglass\n",
     "--log-level debug --set restart_timeout=10", "", 1, R"(
Initializing module$
Initializing module$
Initializing module$
^init failed: Unable to start capture: Input/output error$)"},
    {"start_fails_without_device", "", "--set device_path=%d/video9 --set fp_reader_path=/dev/null", "", 1,
     R"(^init failed: Unable to open camera device \(%d/video9\): No such file or directory$)"},
    {"start_fails_on_missing_keys", "glass\n", "", "", 1, R"(
config.ini lacks keys of \[bio_module\]: priority, watchdog_timeout, finger_image_path, step,
^init failed: configuration key bio_module/priority is missing$)",
     "[bio_module]\nbsize = 16\n"},
    {"malformed_configuration", "", "", "", 2, "^bio-host: %d/config.ini:2: expected 'key = value'",
     "[bio_module]\nbsize 16\n"},
    {"unknown_log_level", "glass\n", "--log-level loud", "", 2, "--log-level"},
    // An unknown model publishes an empty image, which the image file cannot take.
    {"run_ends_on_empty_image_file", "model XYZ\n" + touch,
     "--json --set last_fp_reader=XYZ --set var_min=300 --set finger_image_path=%d/finger.png", "", 1, R"(
{"type":"identifier_new_biometric_image","fields":{"width":0,"height":0,"image":{"bytes":0}}}
{"kind":"run_ended","error":"png format cannot handle empty views.: iostream error"}
{"kind":"summary","touches":1})"},
    // Identification off for two rounds (a long and a shortest touch), then on; 300 ms frame waits do.
    {"identification_off_then_on", "glass 10f\nfinger 20f\nglass 10f\nfinger 2f\nglass 11f\nrepeat\n",
     "--json --set identifier.identification_enabled_1651076864=0 --set select_timeout=300",
     "wait frames 106\nidentification on\nwait frames 159\nquit\n", 0, R"(
{"kind":"ack","command":"identification on"}
{"type":"identifier_new_biometric_image"}
{"kind":"summary","touches":2,"finger_detected":2,"finger_removed":6,"~restarts":0})"},
    // Disabled, the loop takes no frame (one may be under way) and goes on feeding the watchdog.
    {"disabled_mid_touch", "glass 10f\nfinger 100f\nglass\n", "--json --set watchdog_timeout=500",
     "wait frames 20\ndisable\nstatus\nsleep 1500\nstatus\ncatra 11\nwait frames 45\ncatra 12\nstatus\n"
     "sleep 1500\nstatus\nenable\nwait frames 120\nquit\n",
     0, R"(
{"type":"identifier_new_biometric_image"}
{"kind":"status","enabled":false}
{"kind":"status","+frames":"<2","+keep_alives":">1"}
{"kind":"ack","command":"wait frames 45","ok":true}
{"kind":"status","enabled":false}
{"kind":"status","+frames":"<2","+keep_alives":">1"}
{"kind":"summary","touches":1,"finger_removed":1})"},
    {"sigterm", touch, "--json", "", 0, R"({"type":"bio_module_finger_removed"}
{"kind":"stopping","reason":"SIGTERM"}
{"kind":"summary","touches":1})",
     nullptr, SIGTERM},
    {"sigint", touch, "--json", "", 0, R"({"type":"bio_module_finger_removed"}
{"kind":"stopping","reason":"SIGINT"}
{"kind":"summary","touches":1})",
     nullptr, SIGINT},
    {"grey_stream_and_finger_file", "glass 10f\nfinger 20f\nglass 10f\nfinger 20f\nglass 10f\n",
     "--json --set net_debug_ip=127.0.0.1 --set net_debug_port=%p --set finger_image_path=%d/finger.png",
     "wait frames 75\nquit\n", 0, R"(
{"type":"identifier_new_biometric_image","fields":{"variance":">299"}}
{"type":"identifier_new_biometric_image","fields":{"width":260,"height":350,"image":{"fnv1a64":"%f"},"variance":">299"}})",
     nullptr, 0, true},
};

class EndToEnd : public testing::TestWithParam<Row> {};

TEST_P(EndToEnd, Scenario) {
    const Row& row = GetParam();
    bio_test::TempDir dir;
    std::unique_ptr<Process> stream;
    std::string port;
    if (row.stream) {
        stream = std::make_unique<Process>(std::vector<std::string>{
            BIO_STREAM_EXE, "--bind", "127.0.0.1", "--port", "0", "--csv", dir.file("scores.csv")});
        const std::regex listening("^bio-stream: listening on 127.0.0.1:(\\d+)$");
        std::smatch found;
        ASSERT_TRUE(stream->wait_line(
            [&](const std::string& l) { return std::regex_match(l, found, listening); }, run_limit));
        port = found[1];
    }
    std::vector<std::string> argv{BIO_HOST_EXE, "--config", BIO_SOURCE_DIR "/config/desktop.ini"};
    if (row.config != nullptr) {
        bio_test::write_file(argv.back() = dir.file("config.ini"), row.config);
    }
    if (!row.scenario.empty()) {
        std::string path = BIO_SOURCE_DIR "/" + row.scenario.substr(1);
        if (row.scenario[0] != '@') {
            bio_test::write_file(path = dir.file("scenario.txt"), row.scenario);
        }
        argv.insert(argv.end(), {"--simulate", path});
    }
    for (const std::string& word : bio_common::split_words(substituted(row.options, dir.path(), port))) {
        argv.push_back(word);
    }
    Process host(argv, host_env(dir.path()), row.commands);
    if (row.signal != 0) {
        const std::string first = row.expect.substr(0, row.expect.find('\n'));
        ASSERT_TRUE(host.wait_line([&](const std::string& l) { return matches(first, l); }, run_limit));
        host.signal(row.signal);
    }
    EXPECT_EQ(host.wait_exit(run_limit), row.status);
    const std::string digest =
        row.stream ? streamed_frames_and_finger_file(host.lines(), dir.path(), *stream) : "";
    expect_in_order(substituted(row.expect, dir.path(), port, digest), host.lines());
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {  // bio-host removes its own
        EXPECT_NE(entry.path().filename().string().rfind("bio-host-sim.", 0), 0u) << entry.path();
    }
    for (std::size_t i = 0; HasFailure() && i < host.lines().size(); ++i) {
        std::fprintf(stderr, "  %.300s\n", host.lines()[i].c_str());
    }
}

INSTANTIATE_TEST_SUITE_P(BioHost, EndToEnd, testing::ValuesIn(rows), testing::PrintToStringParamName());

// A UDP socket bound to 127.0.0.1:port (0: a free port), not blocking; -1 when the port is taken.
int loopback_socket(std::uint16_t port, std::uint16_t& bound) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    socklen_t size = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        ::close(fd);
        return -1;
    }
    bound = ntohs(address.sin_port);
    return fd;
}

// The field library's chain: the virtual sensor's truth of every frame, sent to the stream's port + 1,
// is recorded by bio-stream with each raw frame, and bio-tune counts the demo's touches by it: at
// img_num 5, min_img_num 2 the 30-frame touch and the 3-frame one are published, the 1-frame one missed.
TEST(BioHostTruth, RecordedByBioStreamAndCountedByBioTune) {
    std::uint16_t port = 0;
    std::uint16_t truth_port = 0;
    int stream = -1;
    int truth = -1;
    for (int attempt = 0; attempt < 50 && truth < 0; ++attempt) {
        ::close(stream);
        stream = loopback_socket(0, port);
        truth = port < 65535 ? loopback_socket(static_cast<std::uint16_t>(port + 1), truth_port) : -1;
    }
    ASSERT_GE(truth, 0) << "no two neighbouring free ports";
    ::close(stream);
    ::close(truth);
    bio_test::TempDir dir;
    Process receiver({BIO_STREAM_EXE, "--bind", "127.0.0.1", "--port", std::to_string(port), "--quiet", "--record",
                      dir.file("demo.biorec")});
    ASSERT_TRUE(receiver.wait_line([](const std::string& l) { return l.find("receive buffer") != l.npos; }, run_limit));
    Process host({BIO_HOST_EXE, "--config", BIO_SOURCE_DIR "/config/desktop.ini", "--simulate",
                  BIO_SOURCE_DIR "/config/scenarios/demo.txt", "--until-end", "--set", "net_debug_ip=127.0.0.1",
                  "--set", "net_debug_port=" + std::to_string(port), "--set", "net_debug_raw=1"},
                 host_env(dir.path()));
    EXPECT_EQ(host.wait_exit(run_limit), 0);
    receiver.signal(SIGTERM);
    EXPECT_EQ(receiver.wait_exit(run_limit), 0);
    recording::Reader reader(dir.file("demo.biorec"));
    recording::Record record;
    std::size_t frames = 0;
    std::size_t known = 0;
    while (reader.next(record)) {
        frames += record.kind == recording::Record::Kind::frame;
        known += record.kind == recording::Record::Kind::frame && record.frame.truth.known;
    }
    EXPECT_TRUE(reader.carries_truth());
    EXPECT_GE(frames, 90u);
    EXPECT_EQ(known, frames);
    EXPECT_NE(receiver.lines().back().find(", truth for " + std::to_string(known) + " frames"), std::string::npos)
        << receiver.lines().back();
    Process tune({BIO_TUNE_EXE, "--json", dir.file("demo.biorec")});
    ASSERT_EQ(tune.wait_exit(run_limit), 0);
    Json judged;
    for (const std::string& line : tune.lines()) {
        for (const Json& replay : Json::parse(line).value("replays", Json::array())) {
            if (replay["img_num"] == 5 && replay["min_img_num"] == 2) {
                judged = replay["truth"];
            }
        }
    }
    EXPECT_TRUE(holds(judged, Json::parse(R"({"touches":3,"detected":2,"missed":1,"false":0})"))) << judged;
}

}  // namespace
