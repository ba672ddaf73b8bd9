// bio-stream's page: one thread runs every connection asynchronously, so that no client holds a thread
// and a stop never waits for one. Routes: the page's files, the live feed (Server-Sent Events), the
// pictures of the latest frames and of the latest touches' best frames, and the touches the detector
// would find on the latest scores, with the var_min those scores suggest.
#include "live_view.h"

#include <ifaddrs.h>
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <deque>
#include <iostream>
#include <list>
#include <mutex>
#include <optional>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "bio_common/text.h"
#include "page_rules.h"
#include "quality.h"
#include "replay.h"
#include "replay_json.h"
#include "tuning.h"
#include "web_assets.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <nlohmann/json.hpp>

namespace bio_stream {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// What clients may take (docs/debug-stream.md lists these). Descriptors: at most
// max_connections + max_refusals, whatever arrives.
constexpr std::size_t max_connections = 32;  // served at once; an idle one makes room for a new one
constexpr std::size_t max_refusals = 16;     // held beyond those only to answer 503, then closed
constexpr std::size_t max_event_streams = 4;
constexpr std::uint32_t max_request_bytes = 8192;  // request line and headers; no request has a body
// A whole request must arrive within this of the connection or of the previous answer (the idle
// keep-alive is the same wait): a header line now and then does not hold a connection.
constexpr auto request_time = 5s;
constexpr auto refusal_time = 1s;
constexpr auto write_time = 5s;       // to take one answer or one event: a stalled browser is dropped
constexpr auto linger_time = 1s;      // after a last answer, for the client to read it before the close
constexpr auto accept_pause = 100ms;  // after an accept failed (descriptors ran out): the kernel queues
// The live feed: scores in one event at most (one event in flight per page; a page behind gets the
// next as soon as it took one, in a handler of its own so that other clients are served in between),
// looked for every tick, and an event at least every quiet_ticks.
constexpr std::size_t scores_per_event = 2000;
constexpr auto tick = 50ms;
constexpr int quiet_ticks = 10;
constexpr auto rate_window = 2s;
// /touches replays the latest touches_window scores and lists the latest touches_listed touches.
constexpr std::size_t touches_window = 100000;
constexpr std::size_t touches_listed = 1000;
// Pictures a click on the page can show: those of the latest frames, at most so many and so many
// bytes (a raw frame's picture is 307,200 bytes: about 5 s of raw frames at 30 per second), and the
// best frame of each of the latest touches (at most touches_pictured of them, 19 MiB of raw frames).
constexpr std::size_t recent_pictures = 300;
constexpr std::size_t recent_picture_bytes = std::size_t{48} << 20;
constexpr std::size_t touches_pictured = 64;
// The touches whose best frames are kept are followed with the latest var_min and img_num a page
// asked /touches for; until one asks, with the page's first values.
constexpr int first_var_min = 300;
constexpr int first_img_num = 5;

// The page's own files, served under their names ("/" is view.html).
constexpr std::string_view page_files[] = {"view.js", "charts.js", "style.css", "uPlot.iife.min.js",
                                           "uPlot.min.css"};
constexpr std::string_view page_policy =
    "default-src 'self'; img-src 'self' data:; style-src 'self' 'unsafe-inline'; frame-ancestors 'none'";

// The texts of refusals.
constexpr std::string_view busy_text = "busy: too many connections, try again\n";
constexpr std::string_view feeds_text = "busy: too many live feeds open\n";
constexpr std::string_view method_text = "only GET and HEAD\n";
constexpr std::string_view body_text = "no request takes a body\n";
constexpr std::string_view too_long_text = "request line and headers longer than 8192 bytes\n";
constexpr std::string_view malformed_text = "malformed request\n";
constexpr std::string_view host_text = "the Host header must name this server's address and port\n";
constexpr std::string_view token_text = "this page wants the token bio-stream printed with its address\n";
constexpr std::string_view origin_text = "only the page itself may ask for this\n";
constexpr std::string_view no_picture_text = "no frame with a picture yet\n";
constexpr std::string_view not_kept_text =
    "that frame's picture is no longer kept: only the latest frames' and each recent touch's best\n";
constexpr std::string_view frame_number_text = "n must be a frame number\n";
constexpr std::string_view rules_text = "var_min, img_num and min_img_num must be integers\n";
constexpr std::string_view not_found_text = "not found\n";

// The latest frame's picture, one byte per pixel, row by row: the sampled byte of every pixel of a
// raw frame (640 x 480, byte 2 * (x + 640 * y)), or the corrected grey image as it is (260 columns).
// The page draws it as it comes: no encoding costs the server time.
struct Picture {
    std::uint64_t number = 0;
    std::int32_t score = 0;
    int width = 0;
    int height = 0;
    std::string bytes;
};

Picture picture_of(const Frame& frame) {
    Picture picture{frame.number, frame.score, 260, static_cast<int>(frame.bytes.size() / 260), {}};
    if (frame.kind == Kind::raw) {
        picture.width = 640;
        picture.height = 480;
        picture.bytes.resize(raw_bytes / 2);
        for (std::size_t i = 0; i < picture.bytes.size(); ++i) {
            picture.bytes[i] = static_cast<char>(frame.bytes[2 * i]);
        }
    } else {
        picture.bytes.assign(frame.bytes.begin(), frame.bytes.end());
    }
    return picture;
}

// The pictures a page can ask for by frame number: the latest frames', bounded in count and bytes,
// and the best of the first img_num frames of each of the latest touches (a run of frames that score
// at least var_min: the frame the detector would publish). Whatever the stream or the clients do,
// it holds at most recent_pictures + touches_pictured + 1 pictures.
class PictureShelf {
public:
    void add(std::int32_t score, const std::shared_ptr<const Picture>& picture, int var_min, int img_num) {
        if (picture) {
            recent_.push_back(picture);
            recent_bytes_ += picture->bytes.size();
            while (recent_.size() > recent_pictures || recent_bytes_ > recent_picture_bytes) {
                recent_bytes_ -= recent_.front()->bytes.size();
                recent_.pop_front();
            }
        }
        if (score >= var_min) {
            if (touch_frames_ < img_num && picture && (!best_ || score > best_->score)) {
                best_ = picture;
            }
            touch_frames_ = std::min(touch_frames_ + 1, img_num);
        } else if (touch_frames_ > 0) {
            touch_frames_ = 0;
            if (best_) {
                bests_.push_back(std::move(best_));
                best_.reset();
                if (bests_.size() > touches_pictured) {
                    bests_.pop_front();
                }
            }
        }
    }

    std::shared_ptr<const Picture> find(std::uint64_t number) const {
        for (const auto* kept : {&recent_, &bests_}) {
            for (const std::shared_ptr<const Picture>& picture : *kept) {
                if (picture->number == number) {
                    return picture;
                }
            }
        }
        return best_ && best_->number == number ? best_ : nullptr;
    }

private:
    std::deque<std::shared_ptr<const Picture>> recent_;
    std::size_t recent_bytes_ = 0;
    std::deque<std::shared_ptr<const Picture>> bests_;
    std::shared_ptr<const Picture> best_;  // of the touch under way
    int touch_frames_ = 0;                 // of the touch under way, up to img_num; 0: none
};

// The var_min suggestion over the scores the page replays, as bio-tune makes it: null fields but
// "refused" when none can be made.
nlohmann::json suggestion_json(const std::vector<bio_replay::Sample>& samples,
                               const ScoreSettings& settings) {
    std::vector<std::int32_t> scores(samples.size());
    std::transform(samples.begin(), samples.end(), scores.begin(),
                   [](const bio_replay::Sample& s) { return s.score; });
    const bio_tune::ScorePair pair = settings.bsize > 0 && settings.step > 0
                                         ? bio_tune::ScorePair{settings.bsize, settings.step}
                                         : bio_tune::ScorePair{};
    const bio_tune::Suggestion s = bio_tune::suggest(scores, pair);
    if (!s.usable()) {
        return {{"refused", s.refused}};
    }
    return {{"var_min", s.var_min},
            {"margin_glass", s.margin_glass},
            {"margin_finger", s.margin_finger},
            {"glass", {{"low", s.glass.low}, {"high", s.glass.high}, {"frames", s.glass.frames}}},
            {"finger", {{"low", s.finger.low}, {"high", s.finger.high}, {"frames", s.finger.frames}}},
            {"notes", s.notes}};
}

struct Latest {
    std::uint64_t number = 0;
    std::int32_t score = 0;
    Kind kind = Kind::header;
};

std::string_view view_of(beast::string_view text) {
    return {text.data(), text.size()};
}

// An integer query parameter, or nothing when absent or not an int.
std::optional<int> int_param(std::string_view query, std::string_view name) {
    const std::optional<std::string_view> value = query_value(query, name);
    return value ? bio_common::parse_integer<int>(*value) : std::nullopt;
}

// Numbers' shortest texts, appended to `text` as a JSON array.
template <typename... Numbers>
void append_numbers(std::string& text, Numbers... values) {
    char separator = '[';
    const auto append = [&text, &separator](auto value) {
        char digits[32];  // a double's shortest form takes at most 24
        text += separator;
        separator = ',';
        text.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
    };
    (append(values), ...);
    text += ']';
}

// The scores of an event as a JSON array of [number, seconds, score, state, missing_before,
// truth], written straight into `text`:
// they are most of an event, and building them as JSON values first would cost the server thread
// more than sending them.
void append_scores(std::string& text, const std::vector<ScoreLog::Entry>& entries) {
    text += '[';
    for (const ScoreLog::Entry& entry : entries) {
        append_numbers(text, entry.number, entry.seconds, entry.score, entry.state, entry.missing_before,
                       entry.truth);
        text += ',';
    }
    if (text.back() == ',') {
        text.back() = ']';
    } else {
        text += ']';
    }
}

class Session;

}  // namespace

// The server: its thread, the connections, and what the receive loop hands over. Everything below
// the receive loop's part belongs to the server thread once it runs.
class PageServer {
public:
    PageServer(const ListenAddress& address, std::size_t scores_kept, ScoreSettings settings)
        : log(scores_kept), settings_(settings), address_(address) {}

    // Binds, prints the page's address(es) and starts the server's thread.
    void start(std::ostream& out);
    // Closes every connection and ends the thread; returns once it has ended.
    void stop();

    double seconds() const { return std::chrono::duration<double>(clock::now() - start_).count(); }

    // Handed over by the receive loop.
    ScoreLog log;
    std::atomic<std::uint64_t> frames{0};
    std::atomic<std::uint64_t> cut_short{0};
    std::atomic<std::uint64_t> stray{0};
    std::atomic<std::uint64_t> foreign{0};
    std::atomic<std::uint64_t> payload_lost{0};
    std::atomic<std::uint64_t> missing{0};
    std::atomic<std::uint64_t> kernel_dropped{0};
    std::mutex latest_mutex;  // held only to swap or copy what it guards
    std::shared_ptr<const Picture> picture;
    PictureShelf shelf;
    std::optional<Latest> latest;
    std::atomic<double> last_arrival{-1};  // seconds() at the latest frame or frame cut short; -1: none yet
    // What the shelf follows touches with: the latest values a page replayed with.
    std::atomic<int> shelf_var_min{first_var_min};
    std::atomic<int> shelf_img_num{first_img_num};
    const ScoreSettings settings_;

    void accept();
    void admit(tcp::socket socket);
    bool evict_idle();
    void on_tick();
    void shut();
    std::shared_ptr<const std::string> event(std::uint64_t& cursor);
    void print_addresses(std::ostream& out) const;

    const ListenAddress address_;
    const clock::time_point start_ = clock::now();
    std::string token_;   // empty: none asked for
    std::string cookie_;  // the cookie that carries the token, one per port
    std::deque<std::pair<clock::time_point, std::uint64_t>> rate_samples_;  // (when, scores so far)
    double rate_ = 0;

    // Sessions unlist themselves when they go, so the list and counts outlive io_.
    std::list<Session*> sessions_;  // oldest first
    std::size_t serving_ = 0;
    std::size_t refusing_ = 0;
    std::size_t streams_ = 0;
    bool stopping_ = false;  // a handler already queued when the stop came must not start anything
    asio::io_context io_{1};
    tcp::acceptor acceptor_{io_};
    asio::steady_timer ticker_{io_};
    asio::steady_timer accept_retry_{io_};
    std::thread thread_;
};

namespace {

// One client connection: requests read one at a time, each answered whole before the next is read;
// or a live feed once it asked for one.
class Session : public std::enable_shared_from_this<Session> {
public:
    enum class Phase { waiting, answering, streaming, closing };

    Session(PageServer& server, tcp::socket socket, bool refusal)
        : server_(server), stream_(std::move(socket)), refusal_(refusal) {
        place_ = server_.sessions_.insert(server_.sessions_.end(), this);
        ++(refusal_ ? server_.refusing_ : server_.serving_);
    }
    ~Session() { unlist(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void wait_for_request();
    // Closes the connection now; the session goes when its last handler has run.
    void end();
    // Once a tick, and after an event while the feed is behind: the next event when scores arrived
    // or it has been quiet a while.
    void tick();

    Phase phase() const noexcept { return phase_; }
    bool refusal() const noexcept { return refusal_; }
    // Bytes that arrived and wait to be read: a request on its way, not an idle client.
    std::size_t unread() {
        beast::error_code closed;
        return stream_.socket().available(closed);
    }

private:
    using Answer = http::response<http::span_body<const char>>;

    void unlist() noexcept;
    void on_request(beast::error_code error);
    void serve(const http::request<http::empty_body>& request);
    bool authorised(const http::request<http::empty_body>& request, const Target& target) const;
    void send_file(std::string_view name, bool with_cookie);
    void send_picture(std::string_view query);
    void send_touches(std::string_view query);
    void start_feed();
    void send_event(const std::shared_ptr<const std::string>& text);
    void refuse(http::status status, std::string_view text);
    // The answer with the headers every answer carries, and `body` (which `held` keeps alive).
    void prepare(http::status status, std::string_view type, std::string_view body,
                 std::shared_ptr<const void> held = nullptr);
    void send(bool last);
    void linger();
    void drain();

    PageServer& server_;
    beast::tcp_stream stream_;
    const bool refusal_;
    Phase phase_ = Phase::waiting;
    bool ended_ = false;
    bool listed_ = true;
    std::list<Session*>::iterator place_;
    beast::flat_buffer buffer_{max_request_bytes};
    std::optional<http::request_parser<http::empty_body>> parser_;
    bool head_ = false;
    bool keep_alive_ = false;
    Answer answer_;
    std::shared_ptr<const void> held_;
    // The live feed: the next score to send, and the session's own reference while no write is
    // pending (it has no reader to hold it).
    std::uint64_t cursor_ = 0;
    int quiet_ = 0;
    bool writing_ = false;
    std::shared_ptr<Session> self_;
    char scratch_[4096];
};

void Session::unlist() noexcept {
    if (!listed_) {
        return;
    }
    listed_ = false;
    server_.sessions_.erase(place_);
    --(refusal_ ? server_.refusing_ : server_.serving_);
    if (phase_ == Phase::streaming) {
        --server_.streams_;
    }
}

void Session::end() {
    const std::shared_ptr<Session> keep = std::move(self_);
    ended_ = true;
    unlist();
    stream_.close();
}

void Session::wait_for_request() {
    phase_ = Phase::waiting;
    parser_.emplace();
    parser_->header_limit(max_request_bytes);
    stream_.expires_after(refusal_ ? refusal_time : request_time);
    http::async_read_header(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code error, std::size_t) { self->on_request(error); });
}

void Session::on_request(beast::error_code error) {
    if (ended_) {
        return;
    }
    if (error == http::error::header_limit || error == http::error::buffer_overflow) {
        return refuse(http::status::request_header_fields_too_large, too_long_text);
    }
    if (error == http::error::unexpected_body || error == http::error::body_limit) {  // a length given
        return refuse(http::status::payload_too_large, body_text);
    }
    if (error && error != http::error::end_of_stream &&
        error.category() == http::make_error_code(http::error::bad_method).category()) {
        return refuse(http::status::bad_request, malformed_text);
    }
    if (error) {
        return end();  // closed, reset or timed out: nobody to answer
    }
    const http::request<http::empty_body>& request = parser_->get();
    head_ = request.method() == http::verb::head;
    keep_alive_ = request.keep_alive();
    if (refusal_) {
        return refuse(http::status::service_unavailable, busy_text);
    }
    serve(request);
}

void Session::serve(const http::request<http::empty_body>& request) {
    // A body is never read: the connection ends after the answer.
    if (parser_->chunked() || parser_->content_length().value_or(0) > 0 ||
        request.count(http::field::transfer_encoding) != 0) {
        return refuse(http::status::payload_too_large, body_text);
    }
    if (request.method() != http::verb::get && !head_) {
        prepare(http::status::method_not_allowed, "text/plain", method_text);
        answer_.set(http::field::allow, "GET, HEAD");
        return send(true);
    }
    beast::error_code closed;
    const tcp::endpoint reached = stream_.socket().local_endpoint(closed);
    if (closed) {
        return end();
    }
    if (request.count(http::field::host) != 1 ||
        !host_names_server(view_of(request[http::field::host]), reached.address().to_v4().to_uint(),
                           reached.port())) {
        return refuse(http::status::misdirected_request, host_text);
    }
    const Target target = split_target(view_of(request.target()));
    const bool data = target.path == "/events" || target.path == "/frame" || target.path == "/touches";
    if (!authorised(request, target)) {
        return refuse(http::status::forbidden, token_text);
    }
    if (data) {
        // A page of another origin must not read frames or scores: its requests say where they come
        // from (Origin on cross-origin reads, Sec-Fetch-Site in current browsers: "none" is the user's
        // own navigation).
        const auto origin = request.find(http::field::origin);
        const auto site = request.find("Sec-Fetch-Site");
        if ((origin != request.end() &&
             !same_origin(view_of(origin->value()), view_of(request[http::field::host]))) ||
            (site != request.end() && site->value() != "same-origin" && site->value() != "none")) {
            return refuse(http::status::forbidden, origin_text);
        }
    }
    if (target.path == "/") {
        return send_file("view.html", !server_.token_.empty());
    }
    for (const std::string_view name : page_files) {
        if (target.path.size() == name.size() + 1 && target.path.substr(1) == name) {
            return send_file(name, false);
        }
    }
    if (target.path == "/events") {
        return start_feed();
    }
    if (target.path == "/frame") {
        return send_picture(target.query);
    }
    if (target.path == "/touches") {
        return send_touches(target.query);
    }
    refuse(http::status::not_found, not_found_text);
}

bool Session::authorised(const http::request<http::empty_body>& request, const Target& target) const {
    const std::string& token = server_.token_;
    if (token.empty()) {
        return true;
    }
    const std::optional<std::string_view> given = query_value(target.query, "token");
    if (given) {
        return token_matches(*given, token);
    }
    const auto cookies = request.find(http::field::cookie);
    const std::optional<std::string_view> kept =
        cookies == request.end() ? std::nullopt : cookie_value(view_of(cookies->value()), server_.cookie_);
    return kept && token_matches(*kept, token);
}

void Session::prepare(http::status status, std::string_view type, std::string_view body,
                      std::shared_ptr<const void> held) {
    answer_ = Answer(status, 11);
    answer_.set(http::field::content_type, beast::string_view(type.data(), type.size()));
    answer_.set(http::field::cache_control, "no-store");
    answer_.set("X-Content-Type-Options", "nosniff");
    answer_.set("Cross-Origin-Resource-Policy", "same-origin");
    answer_.set("Referrer-Policy", "no-referrer");
    answer_.content_length(body.size());
    answer_.body() = head_ ? beast::span<const char>() : beast::span<const char>(body.data(), body.size());
    held_ = std::move(held);
}

void Session::refuse(http::status status, std::string_view text) {
    prepare(status, "text/plain", text);
    if (status == http::status::service_unavailable) {
        answer_.set(http::field::retry_after, "1");
    }
    // A refusal ends the connection (what follows a refused request may not be one), but for a path
    // that is not there.
    send(status != http::status::not_found);
}

void Session::send(bool last) {
    keep_alive_ = keep_alive_ && !last;
    answer_.keep_alive(keep_alive_);
    phase_ = Phase::answering;
    stream_.expires_after(write_time);
    http::async_write(stream_, answer_, [self = shared_from_this()](beast::error_code error, std::size_t) {
        self->held_.reset();
        if (self->ended_) {
            return;
        }
        if (error) {
            return self->end();
        }
        if (!self->keep_alive_) {
            return self->linger();
        }
        self->wait_for_request();
    });
}

// Closes our side, then reads and drops what the client still sends for a while: a close with unread
// data would reset the connection, and the client could lose the answer before reading it.
void Session::linger() {
    phase_ = Phase::closing;
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.expires_after(linger_time);
    drain();
}

void Session::drain() {
    stream_.async_read_some(asio::buffer(scratch_),
                            [self = shared_from_this()](beast::error_code error, std::size_t) {
                                if (self->ended_ || error) {
                                    return self->end();  // the client closed, or the time is up
                                }
                                self->drain();
                            });
}

void Session::send_file(std::string_view name, bool with_cookie) {
    prepare(http::status::ok, bio_web::content_type(name), bio_web::asset_text(name));
    if (name == "view.html") {
        answer_.set("Content-Security-Policy", page_policy.data());
    }
    if (with_cookie) {
        // The page's own requests then carry the token without it in their addresses.
        answer_.set(http::field::set_cookie,
                    server_.cookie_ + "=" + server_.token_ + "; HttpOnly; SameSite=Strict; Path=/");
    }
    send(false);
}

// The picture of frame n (?n=N), or the latest picture when no n is given.
void Session::send_picture(std::string_view query) {
    const std::optional<std::string_view> n = query_value(query, "n");
    const std::optional<std::uint64_t> number =
        n ? bio_common::parse_integer<std::uint64_t>(*n) : std::nullopt;
    if (n && !number) {
        return refuse(http::status::bad_request, frame_number_text);
    }
    std::shared_ptr<const Picture> picture;
    {
        const std::lock_guard<std::mutex> lock(server_.latest_mutex);
        picture = number ? server_.shelf.find(*number) : server_.picture;
    }
    if (!picture) {
        return refuse(http::status::not_found, number ? not_kept_text : no_picture_text);
    }
    prepare(http::status::ok, "application/octet-stream", picture->bytes, picture);
    answer_.set("X-Frame-Number", std::to_string(picture->number));
    answer_.set("X-Frame-Score", std::to_string(picture->score));
    answer_.set("X-Frame-Width", std::to_string(picture->width));
    answer_.set("X-Frame-Height", std::to_string(picture->height));
    // How usable the picture is for a matcher (0 to 100): a raw frame's scored window, or the whole
    // corrected image. Measured for the one frame asked for, on this thread, never per frame received.
    const auto* samples = reinterpret_cast<const unsigned char*>(picture->bytes.data());
    const bio_quality::Quality quality =
        picture->width == 640
            ? bio_quality::measure(bio_quality::scored_window(samples, 1))
            : bio_quality::measure({samples, picture->width, picture->height, picture->width, 1});
    answer_.set("X-Frame-Quality", std::to_string(quality.figure));
    send(false);
}

// The touches the detector finds on the latest touches_window scores: the counts of them all and the
// latest touches_listed touches, their indices those of the score log.
void Session::send_touches(std::string_view query) {
    const std::optional<int> var_min = int_param(query, "var_min");
    const std::optional<int> img_num = int_param(query, "img_num");
    const std::optional<int> min_img_num = int_param(query, "min_img_num");
    if (!var_min || !img_num || !min_img_num) {
        return refuse(http::status::bad_request, rules_text);
    }
    const bio_replay::Rules rules{*var_min, *img_num, *min_img_num};
    server_.shelf_var_min.store(*var_min);
    server_.shelf_img_num.store(std::max(*img_num, 1));
    const std::uint64_t end = server_.log.end();
    std::vector<bio_replay::Sample> scores;  // a frame lost, or one after lost frames, is a gap
    scores.reserve(std::min(touches_window, server_.log.capacity()));
    const std::uint64_t first = server_.log.read(
        end - std::min<std::uint64_t>(end, touches_window), touches_window,
        [&](std::uint64_t, const ScoreLog::Entry& e) {
            scores.push_back(bio_replay::Sample{e.score, e.missing_before > 0 || e.state != 0});
        });
    std::vector<bio_replay::Touch> found = bio_replay::replay(scores.data(), scores.size(), rules);
    const bio_replay::Counts counts = bio_replay::count_outcomes(found);
    const std::size_t left_out = found.size() - std::min(found.size(), touches_listed);
    found.erase(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(left_out));
    const nlohmann::json body = {{"first", first},
                                 {"scores", scores.size()},
                                 {"window", touches_window},
                                 {"rules", bio_replay::rules_json(rules)},
                                 {"counts", bio_replay::counts_json(counts)},
                                 {"touches", bio_replay::touches_json(found, first)},
                                 {"touches_left_out", left_out},
                                 {"suggestion", suggestion_json(scores, server_.settings_)}};
    const auto text = std::make_shared<const std::string>(body.dump());
    prepare(http::status::ok, "application/json", *text, text);
    send(false);
}

void Session::start_feed() {
    if (head_) {
        prepare(http::status::ok, "text/event-stream", {});
        return send(true);
    }
    if (server_.streams_ >= max_event_streams) {
        return refuse(http::status::service_unavailable, feeds_text);
    }
    ++server_.streams_;
    phase_ = Phase::streaming;
    cursor_ = server_.log.begin();
    // The header without a length, then events until either side closes.
    prepare(http::status::ok, "text/event-stream", {});
    answer_.erase(http::field::content_length);
    answer_.keep_alive(false);
    std::ostringstream header;
    header << answer_.base();
    send_event(std::make_shared<const std::string>(header.str() + *server_.event(cursor_)));
}

void Session::tick() {
    if (writing_ || ended_) {
        return;
    }
    if (cursor_ < server_.log.end() || ++quiet_ >= quiet_ticks) {
        send_event(server_.event(cursor_));
    }
}

void Session::send_event(const std::shared_ptr<const std::string>& text) {
    std::shared_ptr<Session> self = shared_from_this();
    self_.reset();  // the write holds the session now
    quiet_ = 0;
    writing_ = true;
    stream_.expires_after(write_time);
    asio::async_write(stream_, asio::buffer(*text),
                      [self = std::move(self), text](beast::error_code error, std::size_t) {
                          self->writing_ = false;
                          if (self->ended_ || error) {
                              return self->end();
                          }
                          self->self_ = self;
                          if (self->cursor_ < self->server_.log.end()) {
                              asio::post(self->stream_.get_executor(), [self] { self->tick(); });
                          }
                      });
}

}  // namespace

void PageServer::start(std::ostream& out) {
    const tcp::endpoint endpoint(asio::ip::make_address_v4(address_.host), address_.port);
    beast::error_code error;
    acceptor_.open(endpoint.protocol(), error);
    if (!error) {
        acceptor_.set_option(tcp::acceptor::reuse_address(true), error);
        acceptor_.bind(endpoint, error);
    }
    if (!error) {
        acceptor_.listen(asio::socket_base::max_listen_connections, error);
    }
    if (error) {
        throw std::runtime_error("cannot serve the page on " + address_.host + ":" +
                                 std::to_string(address_.port) + ": " + error.message());
    }
    if (!address_.loopback) {
        token_ = random_token();
        cookie_ = "bio_stream_" + std::to_string(acceptor_.local_endpoint().port());
    }
    print_addresses(out);
    accept();
    on_tick();
    thread_ = std::thread([this] {
        // A handler that throws (memory ran out) loses its connection, not the server.
        for (;;) {
            try {
                io_.run();
                return;
            } catch (const std::exception& failure) {
                std::cerr << "bio-stream: page: " << failure.what() << std::endl;
            }
        }
    });
}

void PageServer::print_addresses(std::ostream& out) const {
    const std::string port = std::to_string(acceptor_.local_endpoint().port());
    const std::string suffix = token_.empty() ? "/" : "/?token=" + token_;
    std::vector<std::string> hosts;
    ifaddrs* interfaces = nullptr;
    // On every address: the page answers only to the address it was reached at, so name each one.
    if (address_.host == "0.0.0.0" && ::getifaddrs(&interfaces) == 0) {
        for (const ifaddrs* i = interfaces; i != nullptr; i = i->ifa_next) {
            if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET) {
                sockaddr_in ip{};  // copied: the list's addresses need not be aligned for it
                std::memcpy(&ip, i->ifa_addr, sizeof ip);
                hosts.push_back(asio::ip::address_v4(ntohl(ip.sin_addr.s_addr)).to_string());
            }
        }
        ::freeifaddrs(interfaces);
    }
    if (hosts.empty()) {
        hosts.push_back(address_.host);
    }
    for (const std::string& host : hosts) {
        out << "bio-stream: page on http://" << host << ":" << port << suffix << std::endl;
    }
}

void PageServer::accept() {
    acceptor_.async_accept([this](beast::error_code error, tcp::socket socket) {
        if (stopping_) {
            return;
        }
        if (error) {
            // Out of descriptors, most likely: the connections wait in the kernel's queue meanwhile.
            accept_retry_.expires_after(accept_pause);
            accept_retry_.async_wait([this](beast::error_code) {
                if (!stopping_) {
                    accept();
                }
            });
            return;
        }
        admit(std::move(socket));
        accept();
    });
}

void PageServer::admit(tcp::socket socket) {
    bool refusal = false;
    if (serving_ >= max_connections && !evict_idle()) {
        if (refusing_ >= max_refusals) {
            return;  // not even room to say so: the socket closes here
        }
        refusal = true;
    }
    std::make_shared<Session>(*this, std::move(socket), refusal)->wait_for_request();
}

// Closes the connection that has waited longest for a request (an idle keep-alive or one that sends
// its request slowly), so that idle connections cannot keep a page's request out.
bool PageServer::evict_idle() {
    for (Session* session : sessions_) {
        if (!session->refusal() &&
            (session->phase() == Session::Phase::waiting || session->phase() == Session::Phase::closing) &&
            session->unread() == 0) {
            session->end();
            return true;
        }
    }
    return false;
}

void PageServer::on_tick() {
    if (stopping_) {
        return;
    }
    const clock::time_point now = clock::now();
    const std::uint64_t end = log.end();
    rate_samples_.emplace_back(now, end);
    while (rate_samples_.size() > 2 && rate_samples_[1].first <= now - rate_window) {
        rate_samples_.pop_front();
    }
    const std::chrono::duration<double> span = now - rate_samples_.front().first;
    rate_ = span.count() > 0 ? static_cast<double>(end - rate_samples_.front().second) / span.count() : 0.0;
    for (Session* session : sessions_) {
        if (session->phase() == Session::Phase::streaming) {
            // Each feed in a handler of its own: connections that wait meanwhile are served in between.
            asio::post(io_, [feed = session->shared_from_this()] { feed->tick(); });
        }
    }
    ticker_.expires_after(tick);
    ticker_.async_wait([this](beast::error_code) { on_tick(); });
}

// The next event of a live feed: the scores from *cursor on (which it advances), the index of the
// oldest score kept and how many are kept, the latest frame's number, score and kind, the counters, and
// the stream's bsize and step (null when not given) and the seconds since its latest frame arrived.
std::shared_ptr<const std::string> PageServer::event(std::uint64_t& cursor) {
    std::vector<ScoreLog::Entry> entries;
    entries.reserve(std::min(scores_per_event, log.capacity()));
    const std::uint64_t first =
        log.read(cursor, scores_per_event,
                 [&](std::uint64_t, const ScoreLog::Entry& entry) { entries.push_back(entry); });
    cursor = first + entries.size();
    nlohmann::json shown = nullptr;
    {
        const std::lock_guard<std::mutex> lock(latest_mutex);
        if (latest) {
            shown = {{"number", latest->number}, {"score", latest->score}, {"kind", kind_name(latest->kind)}};
        }
    }
    const nlohmann::json counts = {{"frames", frames.load()},
                                   {"cut_short", cut_short.load()},
                                   {"stray", stray.load()},
                                   {"foreign", foreign.load()},
                                   {"payload_lost", payload_lost.load()},
                                   {"missing", missing.load()},
                                   {"kernel_dropped", kernel_dropped.load()},
                                   {"fps", rate_}};
    std::string text = "data: {\"first\":" + std::to_string(first) +
                       ",\"oldest\":" + std::to_string(log.begin()) +
                       ",\"kept\":" + std::to_string(log.capacity()) + ",\"scores\":";
    text.reserve(text.size() + 40 * entries.size() + 256);
    append_scores(text, entries);
    const double arrival = last_arrival.load();
    const nlohmann::json stream = {
        {"bsize", settings_.bsize > 0 ? nlohmann::json(settings_.bsize) : nlohmann::json()},
        {"step", settings_.step > 0 ? nlohmann::json(settings_.step) : nlohmann::json()},
        {"since_last", arrival < 0 ? nlohmann::json() : nlohmann::json(seconds() - arrival)}};
    text += ",\"latest\":" + shown.dump() + ",\"counts\":" + counts.dump() + ",\"stream\":" + stream.dump() +
            "}\n\n";
    return std::make_shared<const std::string>(std::move(text));
}

void PageServer::shut() {
    stopping_ = true;
    beast::error_code ignored;
    acceptor_.close(ignored);
    ticker_.cancel();
    accept_retry_.cancel();
    std::vector<std::shared_ptr<Session>> open;
    for (Session* session : sessions_) {
        open.push_back(session->shared_from_this());
    }
    for (const std::shared_ptr<Session>& session : open) {
        session->end();
    }
}

void PageServer::stop() {
    if (thread_.joinable()) {
        asio::post(io_, [this] { shut(); });
        thread_.join();
    }
}

LiveView::LiveView(const std::string& where, std::ostream& out, std::size_t scores_kept,
                   ScoreSettings settings)
    : server_(std::make_unique<PageServer>(parse_listen_address(where), scores_kept, settings)) {
    server_->start(out);
}

LiveView::~LiveView() {
    server_->stop();
}

void LiveView::frame(const Frame& frame, std::uint8_t truth) {
    PageServer& server = *server_;
    // Made here, outside the lock: a page opened later still finds the last picture.
    std::shared_ptr<const Picture> picture;
    if (frame.kind != Kind::header) {
        picture = std::make_shared<const Picture>(picture_of(frame));
    }
    {
        const std::lock_guard<std::mutex> lock(server.latest_mutex);
        server.latest = Latest{frame.number, frame.score, frame.kind};
        server.shelf.add(frame.score, picture, server.shelf_var_min.load(), server.shelf_img_num.load());
        if (picture) {
            server.picture = std::move(picture);
        }
    }
    server.last_arrival.store(server.seconds());
    // Logged last: a page that sees the score finds the frame's picture.
    server.log.append(
        ScoreLog::Entry{frame.number, server.seconds(), frame.score, 0, frame.missing_before, truth});
}

void LiveView::cut_short(const CutShort& frame) {
    server_->last_arrival.store(server_->seconds());
    server_->log.append(ScoreLog::Entry{frame.number, server_->seconds(), frame.score,
                                        static_cast<std::uint8_t>(frame.state), frame.missing_before});
}

void LiveView::counters(const Counts& counts) noexcept {
    server_->frames.store(counts.frames);
    server_->cut_short.store(counts.cut_short);
    server_->stray.store(counts.stray);
    server_->foreign.store(counts.foreign);
    server_->payload_lost.store(counts.payload_lost);
    server_->missing.store(counts.missing);
    server_->kernel_dropped.store(counts.kernel_dropped);
}

}  // namespace bio_stream
