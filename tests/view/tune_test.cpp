// bio-tune as a user runs it: a recording of glass and striped "finger" frames gives the clusters,
// var_min and touches worked out by hand; a broken recording gives one line and status 1.
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "bio_common/text.h"
#include "recording/recording.h"

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string output;  // standard output and standard error
};

Outcome run_bio_tune(const std::string& arguments) {
    const char* emulator = std::getenv("BIO_TEST_EMULATOR");
    const std::string command =
        std::string(emulator ? emulator : "") + " " + BIO_TUNE_EXECUTABLE + " " + arguments + " 2>&1";
    Outcome run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    char chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
        run.output.append(chunk, got);
    }
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// Frames whose sampled bytes are all 0 ('.', glass, score 0), all 1 ('1': 0 too at bsize 16, step 4)
// or alternate 0 and 255 along each row ('F', finger): with bsize 16, step 4 every block samples 4
// rows of 4 pixels, 8 of 0 and 8 of 255, and scores (8 * 255^2 - 2040^2 / 16) / 16 = 16256; 0 and 64
// ('s') score (8 * 64^2 - 512^2 / 16) / 16 = 1024. 'g' is a gap of one frame. Records arrive every
// 33333 us (30 frames/s). With truth, 'F' is a finger held on the glass (full contact and contrast),
// 'p' the same picture pressed at half contrast, 'w' a light press that looks like glass, 's' and
// 'S' (scoring as 'F') shadows that do not touch; a touch is a run of them broken only by gaps.
void write_recording(const std::string& path, const std::string& pattern, bool truth = false) {
    recording::Writer writer(path, truth);
    std::vector<unsigned char> frames[4];
    for (int value = 0; value < 4; ++value) {
        frames[value].assign(recording::raw_frame_bytes, value == 1 ? 1 : 0);
    }
    for (std::size_t pixel = 0; pixel < recording::raw_frame_bytes / 2; pixel += 2) {
        frames[2][2 * pixel] = 255;
        frames[3][2 * pixel] = 64;
    }
    std::uint64_t time_us = 0;
    std::uint32_t touch = 0;
    bool touching = false;
    for (const char c : pattern) {
        const bool contact = c == 'F' || c == 'p' || c == 'w';
        touch += contact && !touching ? 1 : 0;
        touching = c == 'g' ? touching : contact;
        recording::Truth t{truth, contact, contact ? (c == 'F' ? recording::Phase::hold : recording::Phase::press)
                                                   : recording::Phase::none,
                           std::uint16_t(contact ? 10000 : 0), std::uint16_t(c == 'F' ? 10000 : c == 'p' ? 5000 : 0),
                           contact ? touch : 0, 0};
        if (c == 'g') {
            writer.append_gap({1, recording::gap_late, time_us, false, 0});
        } else {
            writer.append(0, frames[c == '1' ? 1 : c == 'F' || c == 'p' || c == 'S' ? 2 : c == 's' ? 3 : 0].data(),
                          time_us, t);
        }
        time_us += 33333;
    }
    writer.close();
}

class BioTune : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("bio-tune-test-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

TEST_F(BioTune, SuggestsVarMinInTheGapAndCountsTheTouches) {
    const std::string recording = (dir_ / "touches.biorec").string();
    write_recording(recording, "...FFgFFFF...FF..F.");
    const Outcome run =
        run_bio_tune(recording + " --img_num 5 --min_img_num 2 -o " + (dir_ / "r.html").string());
    ASSERT_EQ(run.status, 0) << run.output;
    // The same answer lost on a full disk is a failure.
    EXPECT_EQ(run_bio_tune(recording + " -o " + (dir_ / "r.html").string() + " >/dev/full").status, 1);
    // Gap 0 to 16256: var_min a third of the way up, 5418. The first touch is counted across the
    // gap (frames 3, 4, 6, 7, 8) and published at the fifth.
    EXPECT_EQ(run.output,
              "recording " + recording + ": 18 frames over 0.6 s at 30.0 frames/s, 1 gap (1 frame lost)\n"
              "bsize 16, step 4: 18 frames\n"
              "  empty glass: scores 0 to 0 (9 frames)\n"
              "  finger:      scores 16256 to 16256 (9 frames)\n"
              "  suggested var_min 5418: 5418 above the highest glass score, 10838 below the lowest "
              "finger score\n"
              "  img_num 5, min_img_num 2: 3 touches: 1 published, 1 early, 1 dropped; 1 interrupted by a gap\n"
              "suggestion: bsize=16 step=4 var_min=5418 img_num=5 min_img_num=2\n"
              "  why: var_min a third of the way up the gap from the glass scores to the finger scores; img_num and "
              "min_img_num as the first replay: the recordings carry no truth to judge them by\n"
              "bio-tune: report written to " +
                  (dir_ / "r.html").string() + "\n");
    const std::string page = bio_common::read_file((dir_ / "r.html").string());
    EXPECT_NE(page.find("<pre id=\"snippet\">[bio_module]\nbsize = 16\nstep = 4\nvar_min = 5418\nimg_num = 5\n"
                        "min_img_num = 2\n</pre>"),
              std::string::npos);
    EXPECT_NE(page.find("<tr><td>" + recording + "</td><td>0.10 s</td><td>233 ms</td><td>16256</td>"
                        "<td>published</td><td>frames lost</td></tr>"),
              std::string::npos);
}

// Against truth: the shadow (1024) publishes a false touch at any var_min up to its score, the
// fingers (16256) are seen up to theirs, so the operating point runs from 1025 to 16256 and var_min
// is a third of the way up, 6102. Touch 1 (frames 4 to 8) is published at its third frame, 67 ms
// after its first contact, with frame 4 (half contrast: not its best); touch 2 early, 67 ms; the
// light press and the one-frame touch are missed. 26 frames without contact.
TEST_F(BioTune, JudgesAgainstTruth) {
    const std::string recording = (dir_ / "truth.biorec").string();
    write_recording(recording, "....pFFFF....ss.....FF....w....F...", true);
    const Outcome run = run_bio_tune(recording + " --img_num 3 --min_img_num 2 -o " + (dir_ / "r.html").string());
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find(
                  ", with ground truth of 4 touches\n"
                  "bsize 16, step 4: 35 frames\n"
                  "  empty glass by truth: scores 0 to 1024 (26 frames)\n"
                  "  finger by truth:      scores 16256 to 16256 (7 frames)\n"
                  "  suggested var_min 6102 (img_num 3, min_img_num 2): no false touch, 2 of 4 touches detected; "
                  "every var_min tried from 1025 to 16256 gives the same\n"
                  "  img_num 3, min_img_num 2: 3 touches: 1 published, 1 early, 1 dropped; truth: 2 of 4 detected (1 in "
                  "time, 1 early), 2 missed, 0 false (0.0 per hour of empty glass), 0 repeated, latency 67 ms median "
                  "(67 max), best frame in 1 of 2\n"
                  "suggestion: bsize=16 step=4 var_min=6102 img_num=3 min_img_num=2\n"),
              std::string::npos)
        << run.output;
    const Outcome json = run_bio_tune(recording + " --json --img_num 3 --min_img_num 2 -o " + (dir_ / "r.html").string());
    std::istringstream lines(json.output);
    std::vector<nlohmann::json> objects;
    for (std::string line; std::getline(lines, line);) {
        objects.push_back(nlohmann::json::parse(line));
    }
    ASSERT_EQ(objects.size(), 4u) << json.output;
    EXPECT_EQ(objects[1]["roc"], nlohmann::json::parse(R"([{"var_min":1,"detected":2,"false":1},
        {"var_min":16256,"detected":2,"false":0},{"var_min":16257,"detected":0,"false":0}])"));
    EXPECT_EQ(objects[2]["truth"]["missed"], 2);
    EXPECT_EQ(objects[2]["truth"]["false"], 0);
    // With a recording where a shadow scores as the finger, nothing separates them over both; each
    // recording says what it allows on its own.
    const std::string shadow = (dir_ / "shadow.biorec").string();
    write_recording(shadow, "..FF..SS..", true);
    const Outcome both = run_bio_tune(recording + " " + shadow + " --img_num 3 --min_img_num 2 -o " + (dir_ / "r.html").string());
    EXPECT_EQ(both.status, 1);
    EXPECT_NE(both.output.find("  by recording:\n    " + recording +
                               ": alone: var_min 1025 to 16256 (img_num 3, min_img_num 2) detects 2 of 4 with no false "
                               "touch\n    " + shadow +
                               ": alone: no var_min separates finger from glass: every var_min tried that detects a "
                               "touch publishes false touches too (the fewest: 1 false with 1 of 1 touches detected, at "
                               "var_min 1, img_num 3, min_img_num 2)\n"),
              std::string::npos)
        << both.output;
}

// No var_min is suggested from scores that tell nothing apart or wrap round; a pair refused leaves
// the others to choose from. A uniform frame of 1 scores 0 at 16/4 and at 16/3, where a block of 36
// samples divides by n = 28, (36 - 1296 / 28) * 459 blocks wraps round to -1346103974.
TEST_F(BioTune, RefusesWhatCannotBeSuggested) {
    const std::string recording = (dir_ / "r.biorec").string();
    const struct {
        std::string pattern;
        std::string pairs;
        int status;
        std::string line;
        bool truth = false;
    } cases[] = {
        {"...", "", 1, "bio-tune: no suggestion: bsize 16, step 4: every frame scores 0: this bsize and step tell "
                       "nothing apart\n"},
        {".1.1", "--bsize 16 --step 3", 1,
         "bio-tune: no suggestion: bsize 16, step 3: scores wrap round below zero (-1346103974): step 3 does not "
         "divide bsize 16\n"},
        {".1FF.", "--bsize 16 --step 3 --bsize 16 --step 4", 0,
         "suggestion: bsize=16 step=4 var_min=5418 img_num=5 min_img_num=2\n"},
        // A shadow scoring as the finger: a false touch wherever the finger is seen.
        {"..FF..SS..", "", 1,
         "bio-tune: no suggestion: bsize 16, step 4: no var_min separates finger from glass: every var_min tried "
         "that detects a touch publishes false touches too (the fewest: 1 false with 1 of 1 touches detected, at "
         "var_min 1, img_num 5, min_img_num 2)\n",
         true},
    };
    for (const auto& c : cases) {
        write_recording(recording, c.pattern, c.truth);
        const Outcome run = run_bio_tune(recording + " " + c.pairs + " -o " + (dir_ / "r.html").string());
        EXPECT_EQ(run.status, c.status) << run.output;
        EXPECT_NE(run.output.find(c.line), std::string::npos) << run.output;
    }
}

TEST_F(BioTune, BrokenRecordingsGiveOneLineAndStatus1) {
    const std::string whole = (dir_ / "whole.biorec").string();
    write_recording(whole, "..");
    const std::string truncated = (dir_ / "truncated.biorec").string();
    fs::copy_file(whole, truncated);
    fs::resize_file(truncated, fs::file_size(whole) - 100);
    const std::string text = (dir_ / "scores.csv").string();
    std::ofstream(text) << "frame,score,kind,bytes\n1,300,raw,614400\n";
    const std::string fifo = (dir_ / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string path;
        std::string line;
    } cases[] = {
        {truncated, "bio-tune: recording " + truncated + ": truncated: it ends 614336 bytes into record 2\n"},
        {text, "bio-tune: recording " + text + ": bad magic (not a recording)\n"},
        {fifo, "bio-tune: recording " + fifo + ": cannot read a FIFO as a recording\n"},
        {dir_.string(), "bio-tune: recording " + dir_.string() + ": cannot read a directory as a recording\n"},
        {(dir_ / "absent").string(),
         "bio-tune: recording " + (dir_ / "absent").string() + ": cannot open: No such file or directory\n"},
    };
    for (const auto& c : cases) {
        const Outcome run = run_bio_tune(c.path + " -o " + (dir_ / "r.html").string());
        EXPECT_EQ(run.status, 1) << c.path;
        EXPECT_EQ(run.output, c.line);
    }
}

// The report never goes through a link, over a recording (under any name) or over a file that is
// not a regular one; what it refuses stays as it was.
TEST_F(BioTune, ReportNeverReplacesARecordingOrFollowsALink) {
    const std::string recording = (dir_ / "rec.biorec").string();
    write_recording(recording, "..F");
    fs::create_hard_link(recording, dir_ / "hard.biorec");
    std::ofstream(dir_ / "victim") << "victim";
    fs::create_symlink(dir_ / "victim", dir_ / "link.html");
    fs::create_directory(dir_ / "dir.html");
    const struct {
        std::string report;
        std::string line;
    } cases[] = {
        {recording, "is the recording " + recording + ", which the report would replace"},
        {(dir_ / "hard.biorec").string(), "is the recording " + recording + ", which the report would replace"},
        {(dir_ / "link.html").string(), "a symbolic link is not followed; name another file or remove the link"},
        {(dir_ / "dir.html").string(), "cannot write the report over a directory"},
    };
    for (const auto& c : cases) {
        const Outcome run = run_bio_tune(recording + " -o " + c.report);
        EXPECT_EQ(run.status, 1) << c.report;
        EXPECT_EQ(run.output, "bio-tune: report " + c.report + ": " + c.line + "\n");
    }
    EXPECT_EQ(fs::file_size(recording), 16 + 3 * (36 + 614400u));
    EXPECT_EQ(bio_common::read_file((dir_ / "victim").string()), "victim");
}

// A recording's name reaches the page as text, as an attribute and as JSON inside a script; none of
// them may end its element early or open a comment that swallows the rest of the page.
TEST_F(BioTune, RecordingNamesCannotBreakTheReport) {
    const std::string name = "<!--<script>'&\"</script>.biorec";
    fs::create_directories(dir_ / "<!--<script>'&\"<");
    const std::string recording = (dir_ / name).string();
    write_recording(recording, "..F");
    const std::string report = (dir_ / "r.html").string();
    std::string quoted = "'";
    for (const char c : recording) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    ASSERT_EQ(run_bio_tune(quoted + "' -o " + report).status, 0);
    const std::string page = bio_common::read_file(report);
    const std::string open = "<script id=\"report-data\" type=\"application/json\">";
    const std::size_t data = page.find(open) + open.size();
    const std::string json = page.substr(data, page.find("</script>", data) - data);
    EXPECT_EQ(nlohmann::json::parse(json)["recordings"][0]["recording"], recording);
    EXPECT_EQ(json.find_first_of("<>&"), std::string::npos);
    const std::string escaped = "&lt;!--&lt;script&gt;&#39;&amp;&quot;&lt;/script&gt;.biorec";
    EXPECT_EQ(page.find(name), std::string::npos);
    EXPECT_NE(page.find("title=\"" + (dir_ / "").string()), std::string::npos);
    EXPECT_NE(page.find(escaped + "\">"), std::string::npos);  // the attribute
    EXPECT_NE(page.find(escaped + "</td>"), std::string::npos);  // the text
}

}  // namespace
