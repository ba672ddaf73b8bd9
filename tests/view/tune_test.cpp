// bio-tune as a user runs it: a recording of glass and striped "finger" frames gives the clusters,
// var_min and touches worked out by hand; a broken recording gives one line and status 1.
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

// Frames whose sampled bytes are all 0 (glass, score 0) or alternate 0 and 255 along each row
// (finger): with bsize 16, step 4 every block samples 4 rows of 4 pixels, 8 of 0 and 8 of 255,
// and scores (8 * 255^2 - 2040^2 / 16) / 16 = 16256.
void write_recording(const std::string& path, const std::string& pattern) {
    recording::Writer writer(path);
    std::vector<unsigned char> glass(recording::raw_frame_bytes, 0);
    std::vector<unsigned char> finger(recording::raw_frame_bytes, 0);
    for (std::size_t pixel = 0; pixel < finger.size() / 2; pixel += 2) {
        finger[2 * pixel] = 255;
    }
    for (const char c : pattern) {
        writer.append(0, c == 'F' ? finger.data() : glass.data());
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
    write_recording(recording, "...FFFFFF...FF..F.");
    const Outcome run =
        run_bio_tune(recording + " --img-num 5 --min-img-num 2 --report " + (dir_ / "r.html").string());
    ASSERT_EQ(run.status, 0) << run.output;
    // Gap 0 to 16256: var_min a third of the way up, 5418.
    EXPECT_EQ(run.output,
              "bsize 16, step 4: 18 frames\n"
              "  empty glass: scores 0 to 0 (9 frames)\n"
              "  finger:      scores 16256 to 16256 (9 frames)\n"
              "  suggested var_min 5418: 5418 above the highest glass score, 10838 below the lowest "
              "finger score\n"
              "  img_num 5, min_img_num 2: 3 touches: 1 published, 1 early, 1 dropped\n"
              "bio-tune: report written to " +
                  (dir_ / "r.html").string() + "\n");
    EXPECT_GT(fs::file_size(dir_ / "r.html"), 50000u);  // uPlot inlined
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
        const Outcome run = run_bio_tune(c.path + " --report " + (dir_ / "r.html").string());
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
        const Outcome run = run_bio_tune(recording + " -r " + c.report);
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
    ASSERT_EQ(run_bio_tune(quoted + "' -r " + report).status, 0);
    const std::string page = bio_common::read_file(report);
    const std::string open = "<script id=\"report-data\" type=\"application/json\">";
    const std::size_t data = page.find(open) + open.size();
    const std::string json = page.substr(data, page.find("</script>", data) - data);
    EXPECT_EQ(nlohmann::json::parse(json)["recordings"][0]["path"], recording);
    EXPECT_EQ(json.find_first_of("<>&"), std::string::npos);
    const std::string escaped = "&lt;!--&lt;script&gt;&#39;&amp;&quot;&lt;/script&gt;.biorec";
    EXPECT_EQ(page.find(name), std::string::npos);
    EXPECT_NE(page.find("title=\"" + (dir_ / "").string()), std::string::npos);
    EXPECT_NE(page.find(escaped + "\">"), std::string::npos);  // the attribute
    EXPECT_NE(page.find(escaped + ": 3 frames"), std::string::npos);  // the text
}

}  // namespace
