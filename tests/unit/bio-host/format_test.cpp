// Tests of bio-host's text and JSON lines for bus messages, log records, status and summary.
#include "format.h"

#include <cstring>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

namespace bio_host {
namespace {

// FNV-1a 64 reference values of the algorithm's published test suite.
struct DigestCase {
    const char* bytes;
    const char* hex;
};

// Test names carry this, so it must be the same in every run.
void PrintTo(const DigestCase& c, std::ostream* out) {
    *out << c.hex;
}

class BioHostDigest : public testing::TestWithParam<DigestCase> {};

TEST_P(BioHostDigest, MatchesTheReferenceValues) {
    const DigestCase& c = GetParam();
    EXPECT_EQ(digest_hex(reinterpret_cast<const unsigned char*>(c.bytes), std::strlen(c.bytes)), c.hex);
}

INSTANTIATE_TEST_SUITE_P(Fnv1a64, BioHostDigest,
                         testing::Values(DigestCase{"", "cbf29ce484222325"},
                                         DigestCase{"a", "af63dc4c8601ec8c"},
                                         DigestCase{"foobar", "85944171f73967e8"}));

TEST(BioHostDigest, NullDataOfLengthZeroIsTheOffsetBasis) {
    EXPECT_EQ(digest_hex(nullptr, 0), "cbf29ce484222325");
}

// An image message as the module builds it, with a 6-byte buffer "foobar".
ovra::Message* image_message() {
    auto* message = new ovra::Message("identifier_new_biometric_image", 0, nullptr);
    message->add_int("identifier_id", 1651076864);
    message->add_int64("device_id", 4294967297LL);
    auto* data = new unsigned char[6];
    std::memcpy(data, "foobar", 6);
    message->add_buffer("image", new ovra::Buffer(data, 6, false));
    message->add_string("uuid", "a\"b");
    message->add_int("variance", -2);
    return message;
}

TEST(BioHostBusLine, ShowsTypeAndFieldsInOrderWithTheBufferAsSizeAndDigest) {
    std::unique_ptr<ovra::Message> message(image_message());
    EXPECT_EQ(bus_line(7, 1.5, *message),
              "bus #7 +1.500s identifier_new_biometric_image identifier_id=1651076864 device_id=4294967297 "
              "image=<6 bytes fnv1a64:85944171f73967e8> uuid=\"a\\\"b\" variance=-2");
}

TEST(BioHostBusLine, MessageWithoutFieldsIsTheTypeAlone) {
    ovra::Message message("bio_module_finger_removed", 0, nullptr);
    EXPECT_EQ(bus_line(12, 0.0004, message), "bus #12 +0.000s bio_module_finger_removed");
}

TEST(BioHostBusJson, IsOneObjectWithOrderedFields) {
    std::unique_ptr<ovra::Message> message(image_message());
    EXPECT_EQ(
        bus_json(7, 1.2345678, *message).dump(),
        "{\"kind\":\"bus\",\"seq\":7,\"t\":1.234567,\"type\":\"identifier_new_biometric_image\","
        "\"fields\":{\"identifier_id\":1651076864,\"device_id\":4294967297,"
        "\"image\":{\"bytes\":6,\"fnv1a64\":\"85944171f73967e8\"},\"uuid\":\"a\\\"b\",\"variance\":-2}}");
}

TEST(BioHostBusJson, NamesTheSendingThreadWhenGiven) {
    ovra::Message message("bio_module_finger_detected", 0, nullptr);
    EXPECT_EQ(bus_json(3, 0.25, message, "bio_module_run").dump(),
              "{\"kind\":\"bus\",\"seq\":3,\"t\":0.25,\"type\":\"bio_module_finger_detected\","
              "\"thread\":\"bio_module_run\",\"fields\":{}}");
}

TEST(BioHostBusJson, EmptyBufferHasSizeZeroAndTheOffsetBasis) {
    ovra::Message message("identifier_new_biometric_image", 0, nullptr);
    message.add_buffer("image", new ovra::Buffer(new unsigned char[0], 0, false));
    const Json fields = fields_json(message);
    EXPECT_EQ(fields["image"]["bytes"], 0);
    EXPECT_EQ(fields["image"]["fnv1a64"], "cbf29ce484222325");
}

TEST(BioHostLogJson, CarriesLevelPlaceAndText) {
    ovra::host::LogRecord record{ovra::host::LogLevel::debug,
                                 {},
                                 42,
                                 "Restarting module..",
                                 "bio_module/src/source/bio_module",
                                 "capture_image",
                                 311};
    EXPECT_EQ(log_json(record).dump(),
              "{\"kind\":\"log\",\"level\":\"debug\",\"function\":\"capture_image\","
              "\"file\":\"bio_module/src/source/bio_module\",\"line\":311,\"text\":\"Restarting module..\"}");
    EXPECT_EQ(log_line(record).rfind("log ", 0), 0u);
    EXPECT_NE(log_line(record).find("Restarting module.."), std::string::npos);
}

TEST(BioHostLevelName, NamesTheThreeLevels) {
    EXPECT_STREQ(level_name(ovra::host::LogLevel::debug), "debug");
    EXPECT_STREQ(level_name(ovra::host::LogLevel::info), "info");
    EXPECT_STREQ(level_name(ovra::host::LogLevel::error), "error");
}

TEST(BioHostStatusLine, ShowsUnknownFramesAsNotAvailable) {
    Tally t;
    t.enabled = false;
    t.templates = 4001;
    t.keep_alives = 12;
    EXPECT_EQ(status_line(t), "status: enabled no, templates 4001, keep-alives 12, frames n/a");
    EXPECT_EQ(
        status_json(t).dump(),
        "{\"kind\":\"status\",\"enabled\":false,\"templates\":4001,\"keep_alives\":12,\"frames\":null}");
    t.frames = 345;
    EXPECT_EQ(status_json(t)["frames"], 345);
}

TEST(BioHostSummaryLine, ListsTouchesRemovalsFramesAndRestarts) {
    Tally t;
    t.touches = 2;
    t.finger_removed = 3;
    t.frames = 90;
    t.restarts = 1;
    t.finger_detected = 2;
    t.keep_alives = 4;
    t.late_keep_alives = 1;
    EXPECT_EQ(summary_line(t),
              "summary: touches published 2, finger-removed events 3, frames seen 90, camera restarts 1, "
              "finger-detected events 2, keep-alives 4 (late 1)");
    const Json json = summary_json(t);
    EXPECT_EQ(json["kind"], "summary");
    EXPECT_EQ(json["touches"], 2);
    EXPECT_EQ(json["finger_removed"], 3);
    EXPECT_EQ(json["frames"], 90);
    EXPECT_EQ(json["restarts"], 1);
}

}  // namespace
}  // namespace bio_host
