// bio-stream's page: routes, the live feed (Server-Sent Events), the latest frame's picture and the
// touches the detector would find on the scores received so far.
#include "live_view.h"

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "bio_common/text.h"
#include "replay.h"
#include "replay_json.h"
#include "score_log.h"
#include "web_assets.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

namespace bio_stream {

namespace {

using clock = std::chrono::steady_clock;

// Scores sent in one event at most: a page that joins late gets the history in pieces.
constexpr std::size_t scores_per_event = 20000;
// Longest quiet between two events: the counters and the frame rate stay fresh without traffic.
constexpr int quiet_polls = 10;
constexpr std::chrono::milliseconds poll_interval{50};
// A browser that takes longer than this to accept data loses its connection.
constexpr time_t write_timeout_seconds = 2;
// An idle connection is closed after this; it also bounds how long a stop waits for one.
constexpr time_t keep_alive_seconds = 1;
// Each open page holds a thread for its live feed, and one for each request in flight.
constexpr std::size_t server_threads = 24;
// The page's own files, served under their names ("/" is view.html).
constexpr const char* page_files[] = {"view.js", "charts.js", "style.css", "uPlot.iife.min.js",
                                      "uPlot.min.css"};

struct Address {
    std::string host = "127.0.0.1";
    int port = 0;
};

// "[ADDR:]PORT" with ADDR an IPv4 address.
Address parse_listen_address(const std::string& where) {
    Address address;
    std::string port_text = where;
    const std::size_t colon = where.rfind(':');
    if (colon != std::string::npos) {
        address.host = where.substr(0, colon);
        port_text = where.substr(colon + 1);
    }
    in_addr parsed{};
    const std::optional<int> port = bio_common::parse_integer<int>(port_text);
    if (!port || *port < 0 || *port > 65535 || ::inet_pton(AF_INET, address.host.c_str(), &parsed) != 1) {
        throw std::runtime_error(
            "--http wants [ADDR:]PORT with an IPv4 address and a port up to 65535, not '" + where + "'");
    }
    address.port = *port;
    return address;
}

// The frame's picture, one byte per pixel, row by row: the sampled byte of every pixel of a raw
// frame (640 x 480, byte 2 * (x + 640 * y)), or the corrected grey image as it is (260 columns).
// The page draws it as it comes: no encoding costs the server time.
std::string picture_of(const Frame& frame, int& width, int& height) {
    if (frame.kind == Kind::raw) {
        width = 640;
        height = 480;
        std::string picture(raw_bytes / 2, '\0');
        for (std::size_t i = 0; i < picture.size(); ++i) {
            picture[i] = static_cast<char>(frame.bytes[2 * i]);
        }
        return picture;
    }
    width = 260;
    height = static_cast<int>(frame.bytes.size() / 260);
    return std::string(frame.bytes.begin(), frame.bytes.end());
}

// The integer query parameter `name`, or nothing when absent or not an int.
std::optional<int> int_param(const httplib::Request& request, const char* name) {
    if (!request.has_param(name)) {
        return std::nullopt;
    }
    return bio_common::parse_integer<int>(request.get_param_value(name));
}

}  // namespace

struct LiveView::State {
    httplib::Server server;
    std::thread serving;
    std::atomic<bool> listen_ended{false};
    ScoreLog log;
    const clock::time_point start = clock::now();
    std::atomic<std::uint64_t> frames{0};
    std::atomic<std::uint64_t> cut_short{0};
    std::atomic<std::uint64_t> stray{0};

    // The latest whole frame; the lock is held only to swap or copy what it guards.
    std::mutex latest_mutex;
    std::shared_ptr<const Frame> latest_picture;  // the latest with a picture
    std::optional<ScoreLog::Entry> latest;
    Kind latest_kind = Kind::header;

    std::mutex stop_mutex;
    std::condition_variable stop_wake;
    bool stopping = false;

    double seconds() const { return std::chrono::duration<double>(clock::now() - start).count(); }

    // Waits until scores beyond `cursor` arrived or a while passed; false when serving stops.
    bool wait_for_news(std::size_t cursor) {
        std::unique_lock<std::mutex> lock(stop_mutex);
        for (int poll = 0; poll < quiet_polls && log.size() <= cursor; ++poll) {
            if (stop_wake.wait_for(lock, poll_interval, [this] { return stopping; })) {
                return false;
            }
        }
        return !stopping;
    }

    // The next event of a live feed: the scores after *cursor (which it advances), the latest
    // frame's number, score and kind, and the counters.
    nlohmann::json event(std::size_t& cursor) {
        const std::size_t end = std::min(log.size(), cursor + scores_per_event);
        nlohmann::json scores = nlohmann::json::array();
        for (std::size_t i = cursor; i < end; ++i) {
            const ScoreLog::Entry& entry = log[i];
            scores.push_back({entry.number, entry.seconds, entry.score});
        }
        nlohmann::json event = {{"first", cursor}, {"scores", std::move(scores)}};
        cursor = end;
        {
            const std::lock_guard<std::mutex> lock(latest_mutex);
            event["latest"] = latest ? nlohmann::json{{"number", latest->number},
                                                      {"score", latest->score},
                                                      {"kind", kind_name(latest_kind)}}
                                     : nlohmann::json(nullptr);
        }
        event["counts"] = {{"frames", frames.load()},
                           {"cut_short", cut_short.load()},
                           {"stray", stray.load()},
                           {"fps", log.rate(seconds(), 2.0)}};
        return event;
    }

    void live_feed(httplib::Response& response) {
        auto cursor = std::make_shared<std::size_t>(0);
        response.set_header("Cache-Control", "no-store");
        response.set_chunked_content_provider(
            "text/event-stream", [this, cursor](std::size_t, httplib::DataSink& sink) {
                if (!wait_for_news(*cursor)) {
                    return false;
                }
                const std::string text = "data: " + event(*cursor).dump() + "\n\n";
                return sink.write(text.data(), text.size());
            });
    }

    void latest_picture_bytes(httplib::Response& response) {
        std::shared_ptr<const Frame> frame;
        {
            const std::lock_guard<std::mutex> lock(latest_mutex);
            frame = latest_picture;
        }
        response.set_header("Cache-Control", "no-store");
        if (!frame) {
            response.status = 404;
            response.set_content("no frame with a picture yet\n", "text/plain");
            return;
        }
        int width = 0;
        int height = 0;
        std::string picture = picture_of(*frame, width, height);
        response.set_header("X-Frame-Number", std::to_string(frame->number));
        response.set_header("X-Frame-Score", std::to_string(frame->score));
        response.set_header("X-Frame-Width", std::to_string(width));
        response.set_header("X-Frame-Height", std::to_string(height));
        response.set_content(std::move(picture), "application/octet-stream");
    }

    void touches(const httplib::Request& request, httplib::Response& response) {
        const std::optional<int> var_min = int_param(request, "var_min");
        const std::optional<int> img_num = int_param(request, "img_num");
        const std::optional<int> min_img_num = int_param(request, "min_img_num");
        if (!var_min || !img_num || !min_img_num) {
            response.status = 400;
            response.set_content("var_min, img_num and min_img_num must be integers\n", "text/plain");
            return;
        }
        const bio_replay::Rules rules{*var_min, *img_num, *min_img_num};
        std::vector<std::int32_t> scores(log.size());
        for (std::size_t i = 0; i < scores.size(); ++i) {
            scores[i] = log[i].score;
        }
        const std::vector<bio_replay::Touch> found = bio_replay::replay(scores.data(), scores.size(), rules);
        const nlohmann::json body = {{"scores", scores.size()},
                                     {"rules", bio_replay::rules_json(rules)},
                                     {"counts", bio_replay::counts_json(bio_replay::count_outcomes(found))},
                                     {"touches", bio_replay::touches_json(found)}};
        response.set_header("Cache-Control", "no-store");
        response.set_content(body.dump(), "application/json");
    }

    void routes() {
        server.Get("/", [](const httplib::Request&, httplib::Response& response) {
            response.set_content(std::string(bio_web::asset_text("view.html")),
                                 bio_web::content_type("view.html"));
        });
        for (const char* name : page_files) {
            server.Get(std::string("/") + name, [name](const httplib::Request&, httplib::Response& response) {
                response.set_content(std::string(bio_web::asset_text(name)), bio_web::content_type(name));
            });
        }
        server.Get("/events",
                   [this](const httplib::Request&, httplib::Response& response) { live_feed(response); });
        server.Get("/frame", [this](const httplib::Request&, httplib::Response& response) {
            latest_picture_bytes(response);
        });
        server.Get("/touches", [this](const httplib::Request& request, httplib::Response& response) {
            touches(request, response);
        });
    }
};

LiveView::LiveView(const std::string& where, std::ostream& out) : state_(std::make_unique<State>()) {
    const Address address = parse_listen_address(where);
    State& state = *state_;
    state.routes();
    state.server.new_task_queue = [] { return new httplib::ThreadPool(server_threads); };
    state.server.set_write_timeout(write_timeout_seconds, 0);
    state.server.set_keep_alive_timeout(keep_alive_seconds);
    const int port = address.port == 0
                         ? state.server.bind_to_any_port(address.host)
                         : (state.server.bind_to_port(address.host, address.port) ? address.port : -1);
    if (port < 0) {
        throw std::runtime_error("cannot serve the page on " + address.host + ":" +
                                 std::to_string(address.port));
    }
    state.serving = std::thread([&state] {
        state.server.listen_after_bind();
        state.listen_ended = true;
    });
    // A stop before the server runs would be lost and leave the thread serving for ever: wait until
    // it runs, or until it gave up at once.
    while (!state.server.is_running() && !state.listen_ended) {
        std::this_thread::yield();
    }
    if (!state.server.is_running()) {
        state.serving.join();
        throw std::runtime_error("cannot serve the page on " + address.host + ":" + std::to_string(port));
    }
    out << "bio-stream: page on http://" << address.host << ":" << port << "/" << std::endl;
}

LiveView::~LiveView() {
    {
        const std::lock_guard<std::mutex> lock(state_->stop_mutex);
        state_->stopping = true;
    }
    state_->stop_wake.notify_all();
    state_->server.stop();
    if (state_->serving.joinable()) {
        state_->serving.join();
    }
}

void LiveView::frame(const Frame& frame) {
    const ScoreLog::Entry entry{frame.number, state_->seconds(), frame.score};
    state_->log.append(entry);
    // Copied here, outside the lock: a page opened later still finds the last picture.
    std::shared_ptr<const Frame> picture;
    if (frame.kind != Kind::header) {
        picture = std::make_shared<const Frame>(frame);
    }
    const std::lock_guard<std::mutex> lock(state_->latest_mutex);
    state_->latest = entry;
    state_->latest_kind = frame.kind;
    if (picture) {
        state_->latest_picture = std::move(picture);
    }
}

void LiveView::cut_short(const CutShort& frame) {
    state_->log.append(ScoreLog::Entry{frame.number, state_->seconds(), frame.score});
}

void LiveView::counters(std::uint64_t frames, std::uint64_t cut_short, std::uint64_t stray) noexcept {
    state_->frames.store(frames);
    state_->cut_short.store(cut_short);
    state_->stray.store(stray);
}

}  // namespace bio_stream
