// bio-stream: the debugging station's receiver of the module's UDP debug stream. It
// reassembles frames, prints one line per frame, and can keep them as PNG pictures, CSV
// rows of scores, and a recording of raw frames for the virtual sensor to replay.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "bio_common/cli.h"
#include "bio_common/unique_fd.h"
#include "frame_png.h"
#include "live_view.h"
#include "reassembler.h"
#include "receive_thread.h"
#include "truth_book.h"
#include "recording/recording.h"

#include <CLI/CLI.hpp>

namespace {

struct Options {
    std::string bind_address = "0.0.0.0";
    int port = 0;
    std::string out_dir;
    std::string csv_path;
    std::string record_path;
    std::string http;  // "[ADDR:]PORT" of the page; empty: no page
    std::size_t http_scores = bio_stream::default_scores_kept;
    int receive_buffer = 32 << 20;  // the socket's receive queue asked for, in bytes
    std::size_t queue_bytes = bio_stream::default_queue_bytes;
    std::string from;          // the only IPv4 address datagrams are taken from; empty: any
    std::uint64_t frames = 0;  // 0: no limit
    double seconds = 0;        // 0: no limit
    bool quiet = false;
    bio_stream::ScoreSettings scoring;  // as the module was configured, for the page; 0: not given
};

volatile std::sig_atomic_t stop_requested = 0;

extern "C" void on_stop_signal(int) {
    stop_requested = 1;
}

// Makes SIGINT and SIGTERM end the receive loop (it looks every 0.2 s at least). Calls are
// restarted: a signal that lands while a line waits on a slow terminal must not fail the write, which would silence standard output, the summary included.
void install_stop_handlers() {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

[[noreturn]] void fail_errno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// A UDP socket bound to address:port, with a receive queue deep enough for bursts of raw
// frames (each is 614400 bytes sent without pause) that counts the datagrams the kernel drops.
// Prints the address actually bound and the queue granted.
bio_common::unique_fd open_listener(const Options& options) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(options.port));
    if (::inet_pton(AF_INET, options.bind_address.c_str(), &address.sin_addr) != 1) {
        throw std::runtime_error("not an IPv4 address: " + options.bind_address);
    }
    bio_common::unique_fd sock(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (sock.get() == -1) {
        fail_errno("socket");
    }
    // Privileged processes may go beyond the system's limit; others get what it allows.
    const int asked = options.receive_buffer;
    if (::setsockopt(sock.get(), SOL_SOCKET, SO_RCVBUFFORCE, &asked, sizeof asked) != 0) {
        ::setsockopt(sock.get(), SOL_SOCKET, SO_RCVBUF, &asked, sizeof asked);
    }
    const int on = 1;
    // Some kernels and emulators (qemu-user) do not have it: frames lost there are still found missing
    // by their time, and the kernel's count is read once at the end. Said after the usual lines.
    std::string no_drop_counts;
    if (::setsockopt(sock.get(), SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) != 0) {
        no_drop_counts = std::strerror(errno);
    }
    if (::bind(sock.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        fail_errno("cannot listen on " + options.bind_address + ":" + std::to_string(options.port));
    }
    socklen_t length = sizeof address;
    ::getsockname(sock.get(), reinterpret_cast<sockaddr*>(&address), &length);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    std::cout << "bio-stream: listening on " << text << ":" << ntohs(address.sin_port) << std::endl;
    int granted = 0;
    length = sizeof granted;
    ::getsockopt(sock.get(), SOL_SOCKET, SO_RCVBUF, &granted, &length);
    std::cout << "bio-stream: receive buffer " << granted << " bytes (asked for " << asked << ")" << std::endl;
    if (!no_drop_counts.empty()) {
        std::cout << "bio-stream: the kernel's drops are not told with each datagram (SO_RXQ_OVFL: "
                  << no_drop_counts << ")" << std::endl;
    }
    return sock;
}

// The socket the virtual sensor's truth comes to: the stream's port + 1 on the same address. Truth is
// a help, never a condition: when that port cannot be had, one line says so and the stream goes on.
bio_common::unique_fd open_truth_listener(const Options& options, int stream_sock) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(stream_sock, reinterpret_cast<sockaddr*>(&address), &length);
    const int port = ntohs(address.sin_port) + 1;
    bio_common::unique_fd sock(port <= 65535 ? ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP) : -1);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (port > 65535 || !sock ||
        ::bind(sock.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const std::string reason = port > 65535 ? "no port above 65535" : std::strerror(errno);
        std::cout << "bio-stream: truth is off: cannot listen on " << options.bind_address << ":" << port << " ("
                  << reason << ")" << std::endl;
        return {};
    }
    return sock;
}

// Writes `text` whole to `fd`; false, with errno set, when the kernel refuses.
bool write_all(int fd, const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno != EINTR) {
            return false;
        }
        done += wrote > 0 ? static_cast<std::size_t>(wrote) : 0;
    }
    return true;
}

// The score table of --csv, opened for appending; a link planted at the path is refused
// rather than followed. Adds the header row to a new (empty) file.
bio_common::unique_fd open_csv(const std::string& path) {
    bio_common::unique_fd csv(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0666));
    struct stat info {};
    if (!csv || ::fstat(csv.get(), &info) != 0 ||
        (info.st_size == 0 && !write_all(csv.get(), "frame,score,kind,bytes,state,missing_before\n"))) {
        throw std::runtime_error("cannot open " + path);
    }
    return csv;
}

// Where the frames go besides the terminal.
class Outputs {
public:
    Outputs(const Options& options, bio_stream::TruthBook& truths) : options_(options), truths_(truths) {
        if (!options.out_dir.empty()) {
            std::filesystem::create_directories(options.out_dir);
        }
        if (!options.csv_path.empty()) {
            csv_ = open_csv(options.csv_path);
        }
        if (!options.record_path.empty()) {
            recorder_ = std::make_unique<recording::Writer>(options.record_path);
        }
    }

    // Keeps a whole frame, then reports it: a frame that has been printed is in the recording and the
    // table even if the receiver is killed right after. Frames missing before it go first. Returns the
    // sensor's truth of it, when that came.
    std::optional<recording::Truth> frame(const bio_stream::Frame& frame) {
        const char* const kind = bio_stream::kind_name(frame.kind);
        missing(frame.number, frame.missing_before, frame.loss, frame.seconds, frame.kind == bio_stream::Kind::raw);
        std::optional<recording::Truth> truth;
        if (frame.kind == bio_stream::Kind::raw) {
            truth = truths_.take(frame.bytes.data(), frame.bytes.size());
            with_truth_ += truth ? 1 : 0;
            if (recorder_) {
                recorder_->append(frame.score, frame.bytes.data(), microseconds(frame.seconds),
                                  truth.value_or(recording::Truth{}));
            }
        }
        row(frame.number, std::to_string(frame.score), kind, frame.bytes.size(), "whole", frame.missing_before);
        if (!options_.out_dir.empty()) {
            char name[32];
            std::snprintf(name, sizeof name, "frame-%06llu.png",
                          static_cast<unsigned long long>(frame.number));
            bio_stream::write_frame_png((std::filesystem::path(options_.out_dir) / name).string(), frame);
        }
        if (!options_.quiet) {
            std::cout << "frame " << frame.number << ": score " << frame.score << ", " << kind << ", "
                      << frame.bytes.size() << " bytes" << std::endl;
        }
        return truth;
    }

    // A frame cut short or whose payload was lost: a gap in the recording with its score, a row, a line.
    void cut_short(const bio_stream::CutShort& frame) {
        const bool raw = frame.expected.value_or(bio_stream::Kind::raw) == bio_stream::Kind::raw;
        missing(frame.number, frame.missing_before, frame.loss, frame.seconds, raw);
        const bool cut = frame.state == bio_stream::State::cut_short;
        if (recorder_ && raw) {
            recorder_->append_gap(recording::Gap{1, cut ? recording::gap_cut_short : recording::gap_payload_lost,
                                                 microseconds(frame.seconds), true, frame.score});
        }
        row(frame.number, std::to_string(frame.score), frame.expected ? bio_stream::kind_name(*frame.expected) : "unknown",
            frame.bytes, cut ? "cut short" : "payload lost", frame.missing_before);
        if (!options_.quiet) {
            std::cout << "frame " << frame.number << ": score " << frame.score;
            if (cut) {
                std::cout << ", cut short after " << frame.bytes << " bytes" << std::endl;
            } else {
                std::cout << ", payload lost" << std::endl;
            }
        }
    }

    // Frames missing after the last header, at the end: the last of them has a row of its own.
    void missing_at_end(std::uint64_t next, std::uint64_t count, std::optional<bio_stream::Kind> kind) {
        if (count == 0) {
            return;
        }
        const bool raw = kind.value_or(bio_stream::Kind::raw) == bio_stream::Kind::raw;
        missing(next + count, static_cast<std::uint32_t>(count), recording::gap_socket_drop, last_seconds_, raw);
        row(next + count - 1, "", kind ? bio_stream::kind_name(*kind) : "unknown", 0, "missing", count - 1);
    }

    // Raw frames whose truth was found.
    std::uint64_t with_truth() const noexcept { return with_truth_; }

    void close() {
        if (recorder_) {
            recorder_->close();
        }
        if (csv_ && ::close(csv_.release()) != 0) {
            throw std::runtime_error("cannot write " + options_.csv_path);
        }
    }

private:
    static std::uint64_t microseconds(double seconds) {
        return static_cast<std::uint64_t>(std::max(seconds, 0.0) * 1e6);
    }

    // Frames `number` - `count` to `number` - 1 were lost: a gap in a raw stream's recording, a line.
    void missing(std::uint64_t number, std::uint32_t count, std::uint32_t loss, double seconds, bool raw) {
        last_seconds_ = seconds;
        if (count == 0) {
            return;
        }
        if (recorder_ && raw) {
            recorder_->append_gap(recording::Gap{count, loss, microseconds(seconds), false, 0});
        }
        if (!options_.quiet) {
            std::cout << (count == 1 ? "frame " : "frames ") << number - count;
            if (count > 1) {
                std::cout << " to " << number - 1;
            }
            std::cout << ": missing" << std::endl;
        }
    }

    void row(std::uint64_t number, const std::string& score, const char* kind, std::size_t bytes,
             const char* state, std::uint64_t missing_before) {
        if (csv_ && !write_all(csv_.get(), std::to_string(number) + ',' + score + ',' + kind + ',' +
                                               std::to_string(bytes) + ',' + state + ',' +
                                               std::to_string(missing_before) + '\n')) {
            throw std::runtime_error("cannot write " + options_.csv_path);
        }
    }

    const Options& options_;
    bio_stream::TruthBook& truths_;
    std::uint64_t with_truth_ = 0;
    double last_seconds_ = 0;
    bio_common::unique_fd csv_;
    std::unique_ptr<recording::Writer> recorder_;
};

// The sender datagrams are taken from (--from), as a network-order address; none: any sender.
std::optional<in_addr_t> sender_filter(const std::string& from) {
    if (from.empty()) {
        return std::nullopt;
    }
    in_addr address{};
    if (::inet_pton(AF_INET, from.c_str(), &address) != 1) {
        throw std::runtime_error("--from wants an IPv4 address, not '" + from + "'");
    }
    return address.s_addr;
}

using clock = std::chrono::steady_clock;

// The end of a --seconds run; for 0 (no limit) a time that never comes.
clock::time_point deadline_after(double seconds) {
    if (seconds <= 0) {
        return clock::time_point::max();
    }
    return clock::now() + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(seconds));
}

// The summary line, printed when the run ends. Every frame sent is in one of its counts: whole, cut
// short, payload lost or missing.
void print_summary(const bio_stream::Reassembler& reassembler, const bio_stream::ReceiveThread& reader,
                   const bio_stream::TruthBook& truths, std::uint64_t with_truth) {
    std::cout << "bio-stream: " << reassembler.frames() << " frames, " << reassembler.cut_short()
              << " cut short, " << reassembler.bytes() << " bytes";
    if (reassembler.payload_lost() != 0) {
        std::cout << ", " << reassembler.payload_lost() << " payload lost";
    }
    if (reassembler.missing() != 0) {
        std::cout << ", " << reassembler.missing() << " missing";
    }
    if (reader.kernel_dropped() != 0 || reader.queue_dropped() != 0) {
        std::cout << ", datagrams dropped: " << reader.kernel_dropped() << " by the kernel, "
                  << reader.queue_dropped() << " by bio-stream";
    }
    if (reassembler.stray_datagrams() != 0) {
        std::cout << ", " << reassembler.stray_datagrams() << " stray datagrams";
    }
    if (reader.foreign() != 0) {
        std::cout << ", " << reader.foreign() << " datagrams from other addresses dropped";
    }
    if (truths.received() != 0) {
        std::cout << ", truth for " << with_truth << " frames";
    }
    std::cout << std::endl;
}

// Receives until a stop condition holds, then prints the summary line; returns the
// process's exit status. Throws on a failure of the socket or of an output.
int receive(const Options& options) {
    install_stop_handlers();
    const std::optional<in_addr_t> only = sender_filter(options.from);
    // The page first, its line held back: a page that cannot be served ends the run before the
    // receiver says it listens.
    std::ostringstream page_line;
    const std::unique_ptr<bio_stream::LiveView> view =
        options.http.empty() ? nullptr
                             : std::make_unique<bio_stream::LiveView>(options.http, page_line, options.http_scores,
                                                                      options.scoring);
    const bio_common::unique_fd sock = open_listener(options);
    const bio_common::unique_fd truth_sock = open_truth_listener(options, sock.get());
    std::cout << page_line.str() << std::flush;
    bio_stream::TruthBook truths;
    Outputs outputs(options, truths);
    bio_stream::ReceiveThread reader(sock.get(), only, options.queue_bytes, truth_sock.get(), &truths);

    std::uint64_t whole_frames = 0;
    std::optional<bio_stream::Reassembler> reassembler;
    const auto show_counts = [&] {
        if (view) {
            view->counters({reassembler->frames(), reassembler->cut_short(), reassembler->stray_datagrams(),
                            reader.foreign(), reassembler->payload_lost(), reassembler->missing(),
                            reader.kernel_dropped()});
        }
    };
    reassembler.emplace(
        [&](const bio_stream::Frame& frame) {
            const std::optional<recording::Truth> truth = outputs.frame(frame);
            ++whole_frames;
            if (view) {
                view->frame(frame, truth ? (truth->contact ? 2 : 1) : 0);
                show_counts();
            }
        },
        [&](const bio_stream::CutShort& frame) {
            outputs.cut_short(frame);
            if (view) {
                view->cut_short(frame);
                show_counts();
            }
        });
    const auto enough = [&] { return options.frames != 0 && whole_frames >= options.frames; };

    const clock::time_point deadline = deadline_after(options.seconds);
    const auto stopped = [&] { return stop_requested != 0 || enough() || clock::now() >= deadline; };
    // The longest single wait: a stop signal that lands just before a wait is seen after it.
    constexpr std::chrono::milliseconds longest_wait{200};
    bio_stream::Datagram datagram;
    while (!stopped()) {
        std::chrono::milliseconds wait = longest_wait;
        if (deadline != clock::time_point::max()) {
            wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now()));
        }
        if (reader.pop(datagram, std::max(wait, std::chrono::milliseconds(0)))) {
            reassembler->feed(datagram.bytes.data(), datagram.bytes.size(), datagram.arrival);
        }
    }
    // What had already arrived when a signal or the deadline came still counts: the socket is read for
    // at most a tenth of a second more (a sender that never pauses cannot keep the receiver longer),
    // and what it queued is handled for at most half a second; what is left then counts as dropped.
    reader.stop(!enough());
    const clock::time_point drain_end = clock::now() + std::chrono::milliseconds(500);
    while (!enough() && clock::now() < drain_end && reader.pop(datagram, std::chrono::milliseconds(0))) {
        reassembler->feed(datagram.bytes.data(), datagram.bytes.size(), datagram.arrival);
    }
    if (!enough()) {
        const std::uint64_t next = reassembler->started();
        outputs.missing_at_end(next + 1, reassembler->finish(reader.discard()), reassembler->stream_kind());
        show_counts();
    }
    outputs.close();

    print_summary(*reassembler, reader, truths, outputs.with_truth());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    namespace cli = bio_common::cli;
    Options options;
    CLI::App app{
        "Receives the fingerprint module's UDP debug stream (configuration keys net_debug_ip, "
        "net_debug_port,\n"
        "net_debug_raw of section bio_module), prints one line per frame and a summary at the end."};
    cli::set_program(app, "bio-stream");
    app.add_option("-p,--port", options.port, "UDP port to listen on (0: a free port, printed at start)")
        ->required()
        ->check(CLI::Range(0, 65535));
    app.add_option("-b,--bind", options.bind_address, "IPv4 address to listen on")->capture_default_str();
    app.add_option(
        "--from", options.from,
        "Take datagrams only from this IPv4 address (the terminal's); others are dropped and counted");
    app.add_option("-o,--out", options.out_dir,
                   "Write each frame as DIR/frame-NNNNNN.png (created if absent)")
        ->option_text("DIR");
    app.add_option("--csv", options.csv_path, "Append a frame,score,kind,bytes row per frame to FILE");
    app.add_option("--record", options.record_path,
                   "Record the raw frames to FILE, for replay through the virtual sensor");
    cli::add_frames(app, options.frames, "Stop after N whole frames (0: no limit)");
    cli::add_seconds(app, options.seconds, "Stop after S seconds, traffic or not (0: no limit)");
    app.add_flag("-q,--quiet", options.quiet, "No line per frame; only the summary");
    app.add_option(
        "--http", options.http,
        "Serve a live page of the stream at [ADDR:]PORT (ADDR 127.0.0.1 unless given; 0: a free port); "
        "another ADDR than 127.x.x.x asks for a token, printed with the page's address");
    app.add_option("--receive-buffer", options.receive_buffer,
                   "Bytes of receive queue to ask the kernel for (privileged: beyond net.core.rmem_max)")
        ->capture_default_str()
        ->check(CLI::Range(1, 1 << 30));
    app.add_option("--queue-bytes", options.queue_bytes,
                   "Bytes of datagrams held for the writer; beyond them whole frames are dropped and counted")
        ->capture_default_str()
        ->check(CLI::Range(std::size_t{65536}, std::size_t{1} << 30));
    app.add_option("--http-scores", options.http_scores,
                   "Scores the page keeps; older ones are dropped, and the page says so")
        ->capture_default_str()
        ->check(CLI::Range(std::size_t{1000}, std::size_t{1} << 26));
    CLI::Option* bsize = app.add_option("--bsize", options.scoring.bsize,
                                        "The module's bsize, for the page's labels and var_min suggestion")
                             ->check(CLI::Range(1, 280));
    app.add_option("--step", options.scoring.step, "The module's step (with --bsize)")
        ->check(CLI::Range(1, 280))
        ->needs(bsize);
    bsize->needs("--step");
    return cli::run(app, argc, argv, [&] {
        if (options.scoring.step > options.scoring.bsize) {
            throw cli::UsageError("--step " + std::to_string(options.scoring.step) + " is larger than --bsize " +
                                  std::to_string(options.scoring.bsize));
        }
        return receive(options);
    });
}
