// bio-tune as a user runs it: a recording of glass and striped "finger" frames gives the clusters,
// var_min and touches worked out by hand; a broken recording gives one line and status 1.
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

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
    const struct {
        std::string path;
        std::string line;
    } cases[] = {
        {truncated, "bio-tune: recording " + truncated + ": truncated: it ends 614336 bytes into record 2\n"},
        {text, "bio-tune: recording " + text + ": bad magic (not a recording)\n"},
        {(dir_ / "absent").string(),
         "bio-tune: recording " + (dir_ / "absent").string() + ": cannot open: No such file or directory\n"},
    };
    for (const auto& c : cases) {
        const Outcome run = run_bio_tune(c.path + " --report " + (dir_ / "r.html").string());
        EXPECT_EQ(run.status, 1) << c.path;
        EXPECT_EQ(run.output, c.line);
    }
}

}  // namespace
