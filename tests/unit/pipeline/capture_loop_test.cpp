// Capture loop over the virtual sensor: the enabled gate, watchdog feeding, frame waits and camera
// restarts, dequeue failures, and the debug stream call site.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bio_module.h"
#include "bio_test/legacy_support.h"
#include "ovra/host.h"
#include "pipeline_support.h"
#include "vsensor/vsensor.h"

namespace {

using namespace std::chrono_literals;
using pipeline_test::Clock;
using pipeline_test::Event;
using pipeline_test::KeepAlives;
using pipeline_test::ms_between;
using pipeline_test::RunThread;
using pipeline_test::Transcript;

// Records of one function with one text.
int count_records(const std::vector<Event>& events, const std::string& function, const std::string& text,
                  bool prefix = false) {
    int n = 0;
    for (const auto& e : events) {
        if (!e.is_message && e.function == function &&
            (prefix ? e.text.rfind(text, 0) == 0 : e.text == text)) {
            ++n;
        }
    }
    return n;
}

std::vector<vsensor::TraceEntry> trace_of(vsensor::Call call) {
    std::vector<vsensor::TraceEntry> found;
    for (const auto& entry : vsensor::trace()) {
        if (entry.call == call) {
            found.push_back(entry);
        }
    }
    return found;
}

class CaptureLoopTest : public testing::Test {
protected:
    // Configures the virtual sensor and the module, runs `before_start` (stalls that must count from
    // the first frame), then starts the camera as the entry point does.
    void start_camera(const bio_test::ParamMap& overrides, double fps = 100.0,
                      const std::function<void()>& before_start = {}) {
        bio_test::ModuleEnvOptions options;
        options.sensor.fps = fps;
        // Two glass frames told apart by their level, replayed for ever.
        options.sensor.scenario = pipeline_test::replay_scenario(
            frames_dir.file("glass.rec"), {pipeline_test::glass_frame(200), pipeline_test::glass_frame(180)});
        env = std::make_unique<bio_test::ModuleEnv>(options);
        pipeline_test::apply_params(pipeline_test::module_params(*env, overrides));
        // The sensor prepares its frame source lazily; do it now, so that frame waits start on time.
        vsensor::frame_at(0);
        if (before_start) {
            before_start();
        }
        init_module();
        transcript = std::make_unique<Transcript>();
    }

    // Calls `action` on the loop's thread when it logs the `nth` record of `function` starting with
    // `text`, before the loop goes on: a way to change the sensor at an exact point of the loop.
    void on_record(const std::string& function, const std::string& text, int nth,
                   std::function<void()> action) {
        auto seen = std::make_shared<int>(0);
        sink_ids.push_back(ovra::host::add_log_sink(
            [function, text, nth, seen, action = std::move(action)](const ovra::host::LogRecord& record) {
                if (record.function == function && record.text.rfind(text, 0) == 0 && ++*seen == nth) {
                    action();
                }
            }));
    }

    void start_loop() { loop = std::make_unique<RunThread>(); }

    void TearDown() override {
        for (int id : sink_ids) {
            ovra::host::remove_log_sink(id);
        }
        if (HasFailure() && transcript) {
            // What the loop said, for the failure report.
            for (const auto& e : transcript->events()) {
                std::cerr << (e.is_message ? "bus " + e.type : e.function + ": " + e.text) << "\n";
            }
            const auto trace = vsensor::trace();
            for (const auto& t : trace) {
                std::cerr << ms_between(trace.front().when, t.when) << " ms " << vsensor::call_name(t.call)
                          << " fd " << t.fd << " arg " << t.arg << " -> " << t.result << " errno " << t.error
                          << "\n";
            }
        }
        loop.reset();  // ends the loop while the sensor and the database still exist
        transcript.reset();
        env.reset();
    }

    bio_test::TempDir frames_dir;
    std::unique_ptr<bio_test::ModuleEnv> env;
    std::unique_ptr<Transcript> transcript;
    std::unique_ptr<RunThread> loop;
    std::vector<int> sink_ids;
};

// A stall far longer than any test: the sensor delivers nothing until the test ends it.
constexpr auto for_good = std::chrono::milliseconds(60000);

TEST_F(CaptureLoopTest, DisabledLoopDequeuesNothingAndFeedsTheWatchdogOncePerTimeout) {
    start_camera({{"watchdog_timeout", "100"}});
    set_enabled(false);
    KeepAlives keep_alives;
    const auto started = Clock::now();
    start_loop();

    ASSERT_TRUE(keep_alives.wait_for_count(6, 5s));
    const auto times = keep_alives.times();
    EXPECT_GE(ms_between(started, times[0]), 95.0) << "the first keep-alive came before the wait ended";
    for (std::size_t i = 1; i < times.size(); ++i) {
        const double interval = ms_between(times[i - 1], times[i]);
        EXPECT_GE(interval, 95.0) << "keep-alive " << i;
        EXPECT_LT(interval, 600.0) << "keep-alive " << i;
    }
    EXPECT_TRUE(trace_of(vsensor::Call::dqbuf).empty());
    EXPECT_TRUE(vsensor::counters().streaming) << "the device stays open and streaming while disabled";
}

TEST_F(CaptureLoopTest, EnablingWakesTheGateLongBeforeItsDeadline) {
    start_camera({{"watchdog_timeout", "1000"}});
    set_enabled(false);
    KeepAlives keep_alives;
    start_loop();
    // The first keep-alive shows the loop parked in the gate; the next wait has a deadline 1 s away.
    ASSERT_TRUE(keep_alives.wait_for_count(1, 5s));
    const auto enabled_at = Clock::now();
    set_enabled(true);

    ASSERT_TRUE(vsensor::wait_frames_dequeued(1, 3s));
    const auto dequeues = trace_of(vsensor::Call::dqbuf);
    ASSERT_FALSE(dequeues.empty());
    EXPECT_LT(ms_between(enabled_at, dequeues.front().when), 400.0);
}

TEST_F(CaptureLoopTest, EnabledLoopFeedsTheWatchdogInTheFirstIterationPastTheTimeout) {
    start_camera({{"watchdog_timeout", "100"}});
    KeepAlives keep_alives;
    start_loop();
    ASSERT_TRUE(keep_alives.wait_for_count(5, 5s));
    const auto times = keep_alives.times();
    for (std::size_t i = 1; i < times.size(); ++i) {
        const double interval = ms_between(times[i - 1], times[i]);
        EXPECT_GE(interval, 100.0) << "keep-alive " << i << " came before the timeout had passed";
        EXPECT_LT(interval, 1000.0) << "keep-alive " << i;
    }
    EXPECT_GE(vsensor::counters().frames_dequeued, 3u);
}

TEST_F(CaptureLoopTest, ZeroSelectTimeoutTreatsAnUnreadyDeviceAsAFailedWait) {
    start_camera({{"select_timeout", "0"}, {"restart_timeout", "0"}}, 30.0);
    start_loop();
    ASSERT_TRUE(transcript->wait_for(
        [](const std::vector<Event>& events) {
            return count_records(events, "capture_image", "Restarting module..") >= 2;
        },
        5s));
    // The second failed wait came after the first restart had opened the device again.
    EXPECT_GE(vsensor::counters().opens, 2u);
    const auto exit_text = loop->wait_exit(0ms);
    if (exit_text) {
        EXPECT_EQ(*exit_text, "Too many retries for select");
    }
}

TEST_F(CaptureLoopTest, FourFailedWaitsRestartFourTimesThenGiveUp) {
    start_camera({{"select_timeout", "200"}, {"restart_timeout", "1"}}, 100.0,
                 [] { vsensor::add_stall(3, for_good); });
    start_loop();

    const auto exit_text = loop->wait_exit(10s);
    ASSERT_TRUE(exit_text);
    EXPECT_EQ(*exit_text, "Too many retries for select");
    const auto events = transcript->events();
    EXPECT_EQ(count_records(events, "capture_image", "Restarting module.."), 4);
    EXPECT_EQ(count_records(events, "restart_module", "Error: ", true), 0);
    // The first start plus four restarts: the exception comes only after the fourth restart.
    EXPECT_EQ(vsensor::counters().opens, 5u);
    EXPECT_TRUE(vsensor::counters().streaming);
    EXPECT_EQ(vsensor::counters().frames_dequeued, 3u);
}

TEST_F(CaptureLoopTest, ThreeFailedWaitsThenAFrameGoOnNormally) {
    start_camera({{"select_timeout", "300"}, {"restart_timeout", "0"}}, 100.0,
                 [] { vsensor::add_stall(3, for_good); });
    // Frames come again while the third restart runs, so the fourth wait for this frame succeeds.
    on_record("capture_image", "Restarting module..", 3, [] { vsensor::clear_faults(); });
    start_loop();

    ASSERT_TRUE(vsensor::wait_frames_dequeued(6, 10s));
    const auto exit_text = loop->wait_exit(0ms);
    EXPECT_FALSE(exit_text) << *exit_text;
    EXPECT_EQ(count_records(transcript->events(), "capture_image", "Restarting module.."), 3);
    EXPECT_EQ(vsensor::counters().opens, 4u);
}

TEST_F(CaptureLoopTest, RestartRetriesAFailingCameraStartAndGoesOn) {
    start_camera({{"select_timeout", "300"}, {"restart_timeout", "1"}}, 100.0,
                 [] { vsensor::add_stall(3, for_good); });
    // The restart's first two camera starts fail to open the device; then frames come again.
    vsensor::add_fault({vsensor::Call::open, ENOENT, 0, 2});
    on_record("restart_module", "Error: ", 2, [] { vsensor::clear_faults(); });
    start_loop();

    ASSERT_TRUE(vsensor::wait_frames_dequeued(6, 10s));
    const auto exit_text = loop->wait_exit(0ms);
    EXPECT_FALSE(exit_text) << *exit_text;
    const auto events = transcript->events();
    EXPECT_EQ(count_records(events, "capture_image", "Restarting module.."), 1);
    EXPECT_EQ(count_records(events, "restart_module", "Error: Unable to open camera device (", true), 2);
    EXPECT_EQ(count_records(events, "restart_module", "Error: ", true), 2);
    EXPECT_EQ(vsensor::counters().opens, 2u);
}

TEST_F(CaptureLoopTest, ThreeFailedCameraStartsEndTheLoopWithTheThirdError) {
    start_camera({{"select_timeout", "100"}, {"restart_timeout", "1"}}, 100.0,
                 [] { vsensor::add_stall(3, for_good); });
    vsensor::add_fault({vsensor::Call::open, ENOENT, 0, 3});
    start_loop();

    const auto exit_text = loop->wait_exit(5s);
    ASSERT_TRUE(exit_text);
    std::vector<std::string> errors;
    for (const auto& e : transcript->events()) {
        if (!e.is_message && e.function == "restart_module") {
            errors.push_back(e.text);
        }
    }
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_EQ(errors[2], "Error: " + *exit_text);
    EXPECT_EQ(*exit_text,
              "Unable to open camera device (" + env->device_path() + "): " + std::strerror(ENOENT));
    EXPECT_EQ(count_records(transcript->events(), "capture_image", "Restarting module.."), 1);
}

TEST_F(CaptureLoopTest, NoFilledBufferIsLoggedAndTheLoopGoesOn) {
    start_camera({});
    vsensor::add_fault({vsensor::Call::dqbuf, EAGAIN, 2, 1});
    start_loop();

    ASSERT_TRUE(vsensor::wait_frames_dequeued(5, 5s));
    EXPECT_FALSE(loop->wait_exit(0ms));
    int errors = 0;
    for (const auto& e : transcript->events()) {
        if (!e.is_message && e.level == ovra::host::LogLevel::error && e.text == "No full buffer available") {
            ++errors;
            EXPECT_EQ(e.function, "");
        }
    }
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(count_records(transcript->events(), "capture_image", "Restarting module.."), 0);
}

TEST_F(CaptureLoopTest, InterruptedDequeueIsRepeatedSilently) {
    start_camera({});
    vsensor::add_fault({vsensor::Call::dqbuf, EINTR, 1, 3});
    start_loop();

    ASSERT_TRUE(vsensor::wait_frames_dequeued(5, 5s));
    EXPECT_FALSE(loop->wait_exit(0ms));
    for (const auto& e : transcript->events()) {
        EXPECT_NE(e.level, ovra::host::LogLevel::error) << e.text;
    }
    EXPECT_EQ(count_records(transcript->events(), "capture_image", "Restarting module.."), 0);
}

struct LoopEnd {
    const char* name;
    vsensor::Call call;
    int error;
    int skip;
    const char* text;
};

std::ostream& operator<<(std::ostream& out, const LoopEnd& c) {
    return out << c.name;
}

class LoopEndTest : public CaptureLoopTest, public testing::WithParamInterface<LoopEnd> {};

TEST_P(LoopEndTest, FailingRequestEndsTheLoopWithItsText) {
    const LoopEnd& c = GetParam();
    start_camera({});
    vsensor::add_fault({c.call, c.error, c.skip, 1});
    start_loop();
    const auto exit_text = loop->wait_exit(5s);
    ASSERT_TRUE(exit_text);
    EXPECT_EQ(*exit_text, c.text);
}

// The camera start queues three buffers: the loop's first requeue is the fourth QBUF.
INSTANTIATE_TEST_SUITE_P(Requests, LoopEndTest,
                         testing::Values(LoopEnd{"dequeue_no_device", vsensor::Call::dqbuf, ENODEV, 2,
                                                 "VIDIOC_DQBUF failed: No such device"},
                                         LoopEnd{"dequeue_invalid", vsensor::Call::dqbuf, EINVAL, 0,
                                                 "VIDIOC_DQBUF failed: Invalid argument"},
                                         LoopEnd{"requeue_invalid", vsensor::Call::qbuf, EINVAL, 4,
                                                 "VIDIOC_QBUF failed: Invalid argument"}),
                         [](const testing::TestParamInfo<LoopEnd>& p) { return std::string(p.param.name); });

TEST_F(CaptureLoopTest, BufferIndexAboveTwoEndsTheLoop) {
    start_camera({});
    vsensor::add_bad_index(3, 3);
    start_loop();
    const auto exit_text = loop->wait_exit(5s);
    ASSERT_TRUE(exit_text);
    EXPECT_EQ(*exit_text, "Buffer index greater than buffer quantity");
    EXPECT_EQ(vsensor::counters().frames_dequeued, 3u);
}

TEST_F(CaptureLoopTest, SlowRestartSendsNoKeepAliveWhileItBlocksAndExactlyOneAfter) {
    // One failed wait (300 ms) and a restart that pauses 400 ms: the iteration blocks far longer than
    // the 100 ms watchdog interval.
    start_camera({{"watchdog_timeout", "100"}, {"select_timeout", "300"}, {"restart_timeout", "400"}}, 100.0,
                 [] { vsensor::add_stall(5, for_good); });
    on_record("capture_image", "Restarting module..", 1, [] { vsensor::clear_faults(); });
    KeepAlives keep_alives;
    start_loop();

    ASSERT_TRUE(vsensor::wait_frames_dequeued(6, 10s));
    const std::size_t before = keep_alives.times().size();
    ASSERT_TRUE(keep_alives.wait_for_count(before + 2, 5s));

    const auto opens = trace_of(vsensor::Call::open);
    const auto closes = trace_of(vsensor::Call::close);
    ASSERT_EQ(opens.size(), 2u);
    ASSERT_EQ(closes.size(), 1u);
    const auto closed_at = closes[0].when;
    const auto reopened_at = opens[1].when;
    EXPECT_GE(ms_between(closed_at, reopened_at), 395.0);

    std::vector<Clock::time_point> after;
    for (const auto& t : keep_alives.times()) {
        EXPECT_FALSE(t > closed_at && t < reopened_at) << "keep-alive during the restart";
        if (t > reopened_at) {
            after.push_back(t);
        }
    }
    ASSERT_GE(after.size(), 2u);
    EXPECT_LT(ms_between(reopened_at, after[0]), 300.0) << "no keep-alive right after the restart";
    EXPECT_GE(ms_between(after[0], after[1]), 100.0) << "more than one keep-alive after the restart";
}

TEST_F(CaptureLoopTest, ConsumerThreadStartsOnEntryUnderItsName) {
    start_camera({});
    start_loop();
    // No event tells when the thread is named: look for it among the process's threads.
    const auto give_up = Clock::now() + 3s;
    bool found = false;
    while (!found && Clock::now() < give_up) {
        DIR* dir = opendir("/proc/self/task");
        ASSERT_NE(dir, nullptr);
        while (dirent* entry = readdir(dir)) {
            std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
            std::string name;
            if (std::getline(comm, name) && name == "bio_module_run") {
                found = true;
            }
        }
        closedir(dir);
        if (!found) {
            std::this_thread::sleep_for(5ms);
        }
    }
    EXPECT_TRUE(found);
}

// Receives the debug stream on a loopback port of its own.
class StreamReceiver {
public:
    StreamReceiver() {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        int size = 8 << 20;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        socklen_t length = sizeof address;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~StreamReceiver() { close(fd_); }
    StreamReceiver(const StreamReceiver&) = delete;
    StreamReceiver& operator=(const StreamReceiver&) = delete;

    int port() const { return port_; }

    // The next datagram, or nullopt after `timeout`.
    std::optional<std::vector<unsigned char>> next(std::chrono::milliseconds timeout) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) != 1) {
            return std::nullopt;
        }
        std::vector<unsigned char> data(65536);
        const ssize_t n = recv(fd_, data.data(), data.size(), 0);
        if (n < 0) {
            return std::nullopt;
        }
        data.resize(static_cast<std::size_t>(n));
        return data;
    }

    // One frame: the 4-byte header and the payload datagrams up to the next header.
    struct Frame {
        int header = 0;
        std::vector<unsigned char> payload;
    };
    std::optional<Frame> frame(std::size_t payload_bytes, std::chrono::milliseconds timeout) {
        Frame f;
        auto header = next(timeout);
        while (header && header->size() != 4) {
            header = next(timeout);
        }
        if (!header) {
            return std::nullopt;
        }
        std::memcpy(&f.header, header->data(), 4);
        while (f.payload.size() < payload_bytes) {
            auto slice = next(timeout);
            if (!slice || slice->size() == 4) {
                return std::nullopt;
            }
            f.payload.insert(f.payload.end(), slice->begin(), slice->end());
        }
        return f;
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

TEST_F(CaptureLoopTest, RawDebugStreamCarriesTheCapturedFrameAndItsScore) {
    StreamReceiver receiver;
    start_camera({{"net_debug_ip", "127.0.0.1"},
                  {"net_debug_port", std::to_string(receiver.port())},
                  {"net_debug_raw", "1"}});
    start_loop();
    const auto first = receiver.frame(frame_bytes, 5s);
    ASSERT_TRUE(first);
    ASSERT_EQ(first->payload.size(), frame_bytes);
    const std::vector<unsigned char> expected = vsensor::frame_at(0);
    EXPECT_TRUE(first->payload == expected) << "the first streamed frame is not the sensor's frame 0";
    EXPECT_EQ(first->header, image_variance(expected.data(), bsize, step));
}

TEST_F(CaptureLoopTest, CorrectedDebugStreamSendsTheSensorsImageSize) {
    StreamReceiver receiver;
    start_camera({{"net_debug_ip", "127.0.0.1"}, {"net_debug_port", std::to_string(receiver.port())}});
    start_loop();
    const auto first = receiver.frame(91000, 5s);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->payload.size(), 91000u);
    // The next datagram is the header of the next frame: nothing beyond 91000 bytes was sent.
    const auto after = receiver.next(2s);
    ASSERT_TRUE(after);
    EXPECT_EQ(after->size(), 4u);
}

}  // namespace
