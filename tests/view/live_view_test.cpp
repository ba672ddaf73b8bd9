// The page's server in process: where it says it listens, 404 for unknown paths, a stalled and
// a vanished browser that do not hold up the frames the receive loop hands over, and the pictures it
// keeps for a click (bounded however long the stream runs).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "live_view.h"

#include <boost/asio/ip/tcp.hpp>
#include <nlohmann/json.hpp>

namespace {

// One request to the page as its own script makes it: the answer's head and body.
std::pair<std::string, std::string> get(int port, const std::string& target) {
    boost::asio::ip::tcp::iostream page("127.0.0.1", std::to_string(port));
    page << "GET " << target << " HTTP/1.0\r\nHost: 127.0.0.1:" << port << "\r\n\r\n" << std::flush;
    const std::string answer{std::istreambuf_iterator<char>(page), {}};
    const std::size_t end = std::min(answer.find("\r\n\r\n"), answer.size());
    return {answer.substr(0, end), answer.substr(std::min(end + 4, answer.size()))};
}

// A browser that asks for the live feed and then never reads: its receive window stays tiny.
int stalled_feed_reader(int port) {
    const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
    const int tiny = 1024;
    ::setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    const std::string request =
        "GET /events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
    EXPECT_EQ(::send(sock, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
    return sock;
}

// Frame n scores 7000 when n is even, 1 otherwise; every tenth carries a grey picture of n's low byte.
bio_stream::Frame frame_number(std::uint64_t n) {
    bio_stream::Frame frame;
    frame.number = n;
    frame.score = static_cast<std::int32_t>(n % 2 == 0 ? 7000 : 1);
    if (n % 10 == 0) {
        frame.kind = bio_stream::Kind::grey_260x350;
        frame.bytes.assign(bio_stream::grey_350_bytes, static_cast<unsigned char>(n));
    }
    return frame;
}

class LiveViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        view_ = std::make_unique<bio_stream::LiveView>("127.0.0.1:0", said_);
        std::smatch match;
        const std::string line = said_.str();
        ASSERT_TRUE(
            std::regex_match(line, match, std::regex("bio-stream: page on http://127\\.0\\.0\\.1:(\\d+)/\n")))
            << line;
        port_ = std::stoi(match[1]);
    }

    std::ostringstream said_;
    std::unique_ptr<bio_stream::LiveView> view_;
    int port_ = 0;
};

TEST_F(LiveViewTest, ServesThePageAndAnswers404Elsewhere) {
    const auto page = get(port_, "/");
    EXPECT_EQ(page.first.substr(0, 12), "HTTP/1.1 200");
    EXPECT_NE(page.second.find("<script src=\"view.js\"></script>"), std::string::npos);
    for (const char* path : {"/nothing", "/view.html/", "/report.html", "/../etc/passwd"}) {
        EXPECT_EQ(get(port_, path).first.substr(0, 12), "HTTP/1.1 404") << path;
    }
    EXPECT_EQ(get(port_, "/touches?var_min=x&img_num=5&min_img_num=2").first.substr(0, 12), "HTTP/1.1 400");
}

TEST_F(LiveViewTest, StalledAndVanishedBrowsersDoNotHoldUpFrames) {
    const int stalled = stalled_feed_reader(port_);
    const int vanished = stalled_feed_reader(port_);
    ::close(vanished);
    // Enough frames that a hand-over waiting on the page would stall behind the blocked reader.
    constexpr std::uint64_t count = 1000;
    auto feeding = std::async(std::launch::async, [this] {
        for (std::uint64_t n = 1; n <= count; ++n) {
            view_->frame(frame_number(n));
            view_->counters({n, 0, 0, 0});
        }
    });
    ASSERT_EQ(feeding.wait_for(std::chrono::seconds(60)), std::future_status::ready);

    const nlohmann::json body =
        nlohmann::json::parse(get(port_, "/touches?var_min=5000&img_num=1&min_img_num=1").second);
    EXPECT_EQ(body["scores"], count);
    // Every even frame is a one-frame touch, published at once.
    EXPECT_EQ(body["counts"]["published"], count / 2);
    const auto picture = get(port_, "/frame");
    EXPECT_NE(picture.first.find("\r\nX-Frame-Number: 1000\r\nX-Frame-Score: 7000\r\nX-Frame-Width: 260\r\n"),
              std::string::npos);
    EXPECT_EQ(picture.second, std::string(bio_stream::grey_350_bytes, static_cast<char>(count % 256)));
    ::close(stalled);
}

// 70 touches of one pictured frame each, then 301 grey frames of glass, then 164 raw ones: the
// latest 300 pictures are kept, and no more than 48 MiB of them (163 raw pictures of 307,200 bytes),
// and the best frames of the latest 64 touches (at the first var_min, 300).
TEST_F(LiveViewTest, KeepsTheLatestPicturesAndTheLatestTouchesBestFrames) {
    std::uint64_t n = 0;
    const auto feed = [&](std::int32_t score, bio_stream::Kind kind, std::size_t bytes) {
        bio_stream::Frame frame;
        frame.number = ++n;
        frame.score = score;
        frame.kind = kind;
        frame.bytes.assign(bytes, 7);
        view_->frame(frame);
    };
    for (int touch = 0; touch < 70; ++touch) {
        feed(7000, bio_stream::Kind::grey_260x350, bio_stream::grey_350_bytes);  // frame 2 * touch + 1
        feed(1, bio_stream::Kind::header, 0);
    }
    for (int i = 0; i < 301; ++i) {
        feed(1, bio_stream::Kind::grey_260x350, bio_stream::grey_350_bytes);  // frames 141 to 441
    }
    const auto status = [&](std::uint64_t number) {
        return get(port_, "/frame?n=" + std::to_string(number)).first.substr(9, 3);
    };
    EXPECT_EQ(status(141), "404");
    EXPECT_EQ(status(142), "200");
    for (int i = 0; i < 164; ++i) {
        feed(1, bio_stream::Kind::raw, bio_stream::raw_bytes);  // frames 442 to 605
    }
    EXPECT_EQ(status(442), "404");
    EXPECT_EQ(status(443), "200");
    EXPECT_EQ(status(441), "404");  // grey, and older than 163 raw pictures: the bytes are over
    EXPECT_EQ(status(2 * 5 + 1), "404");
    EXPECT_EQ(status(2 * 6 + 1), "200");
    EXPECT_EQ(status(2 * 69 + 1), "200");
    EXPECT_EQ(status(2), "404");  // a header: no picture
    EXPECT_EQ(get(port_, "/frame?n=x").first.substr(9, 3), "400");
}

}  // namespace
