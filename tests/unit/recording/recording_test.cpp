// Recordings: frames come back as written with their scores (least significant byte first on
// disk, so a board's recording reads the same on a desktop), a cut-off last frame is dropped,
// and a file that is not a recording is refused naming the path and the problem.
#include "recording/recording.h"

#include <sys/stat.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "bio_test/files.h"

namespace {

TEST(Recording, RecordsComeBackAsWrittenAndACutOffLastRecordIsDropped) {
    bio_test::TempDir dir;
    const std::string path = dir.file("two.biorec");
    const std::vector<unsigned char> first(recording::raw_frame_bytes, 1),
        second(recording::raw_frame_bytes, 2);
    recording::Truth truth;
    truth.known = true;
    truth.contact = true;
    truth.phase = recording::Phase::hold;
    truth.contact_permyriad = 10000;
    truth.contrast_permyriad = 2500;
    truth.touch = 3;
    truth.sensor_frame = 0x01020304;
    recording::Gap gap;
    gap.frames_lost = 2;
    gap.causes = recording::gap_payload_lost | recording::gap_late;
    gap.time_us = 70000;
    gap.score_known = true;
    gap.score = -5;
    recording::Writer writer(path, true);
    writer.append(-2, first.data(), 1000, truth);
    writer.append_gap(gap);
    writer.append(300, second.data(), 0x123456789a);
    writer.close();
    std::string bytes = bio_test::read_file(path);
    ASSERT_EQ(bytes.size(), 16u + 2 * (36 + 614400) + 28);
    EXPECT_EQ(bytes.substr(0, 16), std::string("BIOREC02\x00\x60\x09\x00\x01\0\0\0", 16));
    // Tag, score -2, reserved, time 1000 us, then the truth: known and touching, hold, 100 %
    // contact, a quarter of the contrast, touch 3, sensor frame 0x01020304.
    EXPECT_EQ(bytes.substr(16, 36), std::string("FRAM\xFE\xFF\xFF\xFF\0\0\0\0\xE8\x03\0\0\0\0\0\0"
                                                "\x03\x03\x10\x27\xC4\x09\0\0\x03\0\0\0\x04\x03\x02\x01",
                                                36));
    EXPECT_EQ(bytes.substr(16 + 36 + 614400, 28),
              std::string("GAP \x02\0\0\0\x0C\0\0\0\x70\x11\x01\0\0\0\0\0\xFB\xFF\xFF\xFF\x01\0\0\0", 28));

    recording::Reader reader(path);
    EXPECT_EQ(reader.version(), 2);
    EXPECT_TRUE(reader.carries_truth());
    recording::Record record;
    ASSERT_TRUE(reader.next(record));
    ASSERT_EQ(record.kind, recording::Record::Kind::frame);
    EXPECT_EQ(record.frame.score, -2);
    EXPECT_EQ(record.frame.time_us, 1000u);
    EXPECT_EQ(record.frame.truth, truth);
    EXPECT_TRUE(record.frame.bytes == first);
    ASSERT_TRUE(reader.next(record));
    ASSERT_EQ(record.kind, recording::Record::Kind::gap);
    EXPECT_EQ(record.gap.frames_lost, 2u);
    EXPECT_EQ(record.gap.causes, 12u);
    EXPECT_EQ(record.gap.time_us, 70000u);
    EXPECT_TRUE(record.gap.score_known);
    EXPECT_EQ(record.gap.score, -5);
    // Read as frames only, the gap is passed over.
    reader.rewind();
    recording::Frame frame;
    ASSERT_TRUE(reader.next(frame));
    ASSERT_TRUE(reader.next(frame));
    EXPECT_EQ(frame.score, 300);
    EXPECT_EQ(frame.time_us, 0x123456789au);
    EXPECT_FALSE(frame.truth.known);
    EXPECT_TRUE(frame.bytes == second);
    EXPECT_FALSE(reader.next(frame));
    EXPECT_FALSE(reader.ended_inside_record());

    bytes.pop_back();  // the recorder was stopped inside the last frame
    bio_test::write_file(dir.file("cut.biorec"), bytes);
    recording::Reader cut(dir.file("cut.biorec"));
    EXPECT_TRUE(cut.next(frame));
    EXPECT_TRUE(cut.next(frame) == false && cut.ended_inside_record());
    EXPECT_EQ(cut.partial_bytes(), 36u + 614400 - 1);
}

// Recordings made before gaps and truth existed still read: score and frame, nothing else.
TEST(Recording, VersionOneStillReads) {
    bio_test::TempDir dir;
    std::string bytes("BIOREC01\x00\x60\x09\x00\0\0\0\0\x2C\x01\0\0", 20);
    bytes.append(recording::raw_frame_bytes, '\x07');
    bio_test::write_file(dir.file("old.biorec"), bytes);
    recording::Reader reader(dir.file("old.biorec"));
    EXPECT_EQ(reader.version(), 1);
    EXPECT_FALSE(reader.carries_truth());
    recording::Frame frame;
    ASSERT_TRUE(reader.next(frame));
    EXPECT_EQ(frame.score, 300);
    EXPECT_FALSE(frame.truth.known);
    EXPECT_TRUE(frame.bytes == std::vector<unsigned char>(recording::raw_frame_bytes, 7));
    EXPECT_FALSE(reader.next(frame));
}

// The truth of a frame beside the stream: the 32-byte datagram round trip, and what is not one.
TEST(Recording, TruthDatagrams) {
    recording::Truth truth;
    truth.known = true;
    truth.phase = recording::Phase::approach;
    truth.touch = 7;
    unsigned char datagram[recording::truth_datagram_bytes];
    recording::encode_truth_datagram(0x1122334455667788ull, truth, datagram);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(datagram), 16),
              std::string("BIOTRUTH\x88\x77\x66\x55\x44\x33\x22\x11", 16));
    std::uint64_t hash = 0;
    recording::Truth back;
    ASSERT_TRUE(recording::decode_truth_datagram(datagram, sizeof datagram, hash, back));
    EXPECT_EQ(hash, 0x1122334455667788ull);
    EXPECT_EQ(back, truth);
    EXPECT_FALSE(recording::decode_truth_datagram(datagram, 31, hash, back));
    datagram[0] = 'X';
    EXPECT_FALSE(recording::decode_truth_datagram(datagram, sizeof datagram, hash, back));
    // FNV-1a's published test vector: "a" hashes to af63dc4c8601ec8c.
    const unsigned char a = 'a';
    EXPECT_EQ(recording::frame_hash(&a, 1), 0xaf63dc4c8601ec8cull);
}

// Each file is refused naming the path and the problem.
TEST(RecordingRefusal, FilesThatAreNoRecordings) {
    const std::pair<std::string, std::string> refusals[] = {
        {std::string("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16), "bad magic (not a recording)"},
        {std::string("BIOREC01\x00\x60", 10), "truncated header"},
        // 91000 bytes a frame: a grey image's size, not a raw frame's.
        {std::string("BIOREC01\x78\x63\x01\0\0\0\0\0", 16), "unexpected frame size 91000 (expected 614400)"},
        {std::string("BIOREC02\x00\x60\x09\0\0\0\0\0WHAT", 20), "unknown record at byte 16"}};
    bio_test::TempDir dir;
    for (const auto& [bytes, problem] : refusals) {
        bio_test::write_file(dir.file("in.biorec"), bytes);
        try {
            recording::Reader reader(dir.file("in.biorec"));
            recording::Frame frame;
            reader.next(frame);
            ADD_FAILURE() << "accepted, expected " << problem;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "recording " + dir.file("in.biorec") + ": " + problem);
        }
    }
    // A directory or a FIFO is refused at once (a FIFO would otherwise block the reader).
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    for (const auto& [path, kind] : {std::pair<std::string, std::string>{dir.path(), "a directory"},
                                     {dir.file("fifo"), "a FIFO"}}) {
        try {
            recording::Reader reader(path);
            ADD_FAILURE() << path << " accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "recording " + path + ": cannot read " + kind + " as a recording");
        }
    }
}

}  // namespace
