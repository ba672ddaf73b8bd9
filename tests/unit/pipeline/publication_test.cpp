// Publication of an accepted touch: the image message field by field, the finger-detected event
// (at once on the capture thread, or delayed on the consumer thread), the removal event, and the
// order of all of them on each path.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <ios>
#include <memory>
#include <ostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bio_module.h"
#include "bio_test/legacy_support.h"
#include "ovra/host.h"
#include "pipeline_support.h"

namespace {

using namespace std::chrono_literals;
using pipeline_test::Clock;
using pipeline_test::Event;
using pipeline_test::ms_between;
using pipeline_test::Transcript;
using pipeline_test::type_detected;
using pipeline_test::type_image;
using pipeline_test::type_removed;
using testing::ElementsAre;

class PublicationTest : public testing::Test {
protected:
    void SetUp() override {
        camera_sensor = "None";
        img_num = 3;
        min_img_num = 2;
        var_min = 100;
        finger_detected_delay = 0;
        template_count.store(0);
        finger_image_path.clear();
    }

    // The consumer thread as the capture loop starts it on entry (stopped at exit by the module).
    static void start_consumer() { start_finger_detected_consumer(); }

    // Feeds the detector one frame of uniform content `fill`.
    static void frame(int variance, int fill = 0) {
        std::memset(captured_frame, fill, frame_bytes);
        detection_step(variance);
    }

    bio_test::ModuleEnv env;
};

// Message types of the finger events, in send order.
std::vector<std::string> finger_messages(const std::vector<Event>& events) {
    std::vector<std::string> types;
    for (const auto& e : events) {
        if (e.is_message && (e.type == type_image || e.type == type_detected || e.type == type_removed)) {
            types.push_back(e.type);
        }
    }
    return types;
}

struct SensorImage {
    const char* sensor;
    int width;
    int height;
};

std::ostream& operator<<(std::ostream& out, const SensorImage& s) {
    return out << s.sensor;
}

class ImageMessageTest : public PublicationTest, public testing::WithParamInterface<SensorImage> {};

// Corrected images for every sensor kind: the tables of a known sensor turn a uniform frame into a
// uniform image (bilinear weights add up to one, and the shift by 20 may lose one unit).
TEST_P(ImageMessageTest, CarriesSevenFieldsInOrderWithTheCorrectedImage) {
    const SensorImage& s = GetParam();
    camera_sensor = s.sensor;
    if (camera_sensor == "GC032A") {
        build_perspective_matrices();
    } else if (camera_sensor == "GC0307") {
        build_remap_table(gc0307_constants);
    } else if (camera_sensor == "GC0328") {
        build_remap_table(gc0328_constants);
    }
    ovra::host::set_device_id(4242);
    Transcript transcript;

    std::vector<unsigned char> best(frame_bytes, 120);
    publish_finger_image(best.data(), 345);

    const auto images = transcript.messages(type_image);
    ASSERT_EQ(images.size(), 1u);
    const Event& image = images[0];
    std::vector<std::string> names;
    std::vector<ovra::MessageField::Kind> kinds;
    for (const auto& f : image.fields) {
        names.push_back(f.name);
        kinds.push_back(f.kind);
    }
    using Kind = ovra::MessageField::Kind;
    EXPECT_THAT(names,
                ElementsAre("identifier_id", "device_id", "width", "height", "image", "uuid", "variance"));
    EXPECT_THAT(kinds, ElementsAre(Kind::integer, Kind::integer64, Kind::integer, Kind::integer, Kind::buffer,
                                   Kind::string, Kind::integer));
    EXPECT_EQ(image.number("identifier_id"), 1651076864);
    EXPECT_EQ(image.number("device_id"), 4242);
    EXPECT_EQ(image.number("width"), s.width);
    EXPECT_EQ(image.number("height"), s.height);
    EXPECT_EQ(image.number("variance"), 345);

    const ovra::MessageField* buffer = nullptr;
    for (const auto& f : image.fields) {
        if (f.name == "image") {
            buffer = &f;
        }
    }
    ASSERT_NE(buffer, nullptr);
    ASSERT_TRUE(buffer->buffer);
    ASSERT_EQ(buffer->buffer->length(), static_cast<std::size_t>(s.width * s.height));
    int outside = 0;
    for (std::size_t i = 0; i < buffer->buffer->length(); ++i) {
        const unsigned char v = buffer->buffer->data()[i];
        outside += (v == 119 || v == 120) ? 0 : 1;
    }
    EXPECT_EQ(outside, 0) << "pixels of a uniform 120 frame that are not 119 or 120";
    // The message owns a private copy: later frames may overwrite the scratch image.
    if (buffer->buffer->length() > 0) {
        EXPECT_NE(static_cast<const void*>(buffer->buffer->data()), static_cast<const void*>(grey_scratch));
    }

    const std::string uuid = image.string_field("uuid").value_or("");
    EXPECT_TRUE(std::regex_match(
        uuid, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
        << uuid;
    EXPECT_EQ(last_uuid, uuid);
    EXPECT_THAT(transcript.summary(), ElementsAre("image v=345", "UUID", "detected"));
}

INSTANTIATE_TEST_SUITE_P(Sensors, ImageMessageTest,
                         testing::Values(SensorImage{"GC032A", 260, 350}, SensorImage{"GC0307", 260, 320},
                                         SensorImage{"GC0328", 260, 320}, SensorImage{"None", 0, 0}),
                         [](const testing::TestParamInfo<SensorImage>& p) {
                             return std::string(p.param.sensor);
                         });

TEST_F(PublicationTest, EveryImageGetsANewUuidAndTheRecordAfterItCarriesTheSame) {
    Transcript transcript;
    std::vector<unsigned char> best(frame_bytes, 0);
    publish_finger_image(best.data(), 200);
    publish_finger_image(best.data(), 201);

    const auto images = transcript.messages(type_image);
    ASSERT_EQ(images.size(), 2u);
    EXPECT_NE(images[0].string_field("uuid"), images[1].string_field("uuid"));
    // summary() checks each "UUID:" record against the image just before it.
    EXPECT_THAT(transcript.summary(),
                ElementsAre("image v=200", "UUID", "detected", "image v=201", "UUID", "detected"));
}

TEST_F(PublicationTest, WithoutDelayFingerDetectedGoesOutOnTheCallersThreadBeforeReturning) {
    template_count.store(4000);  // the table's first row needs more than 4000
    Transcript transcript;
    std::vector<unsigned char> best(frame_bytes, 0);
    publish_finger_image(best.data(), 200);

    // No waiting: the event must already be there.
    const auto detected = transcript.messages(type_detected);
    ASSERT_EQ(detected.size(), 1u);
    EXPECT_EQ(detected[0].thread, std::this_thread::get_id());
    EXPECT_THAT(finger_messages(transcript.events()), ElementsAre(type_image, type_detected));
}

TEST_F(PublicationTest, RegularPathSendsImageDetectedThenRemovedWhenTheFingerLeaves) {
    Transcript transcript;
    frame(150);
    frame(160);
    frame(170);
    EXPECT_THAT(finger_messages(transcript.events()), ElementsAre(type_image, type_detected));
    frame(180);
    frame(20);
    EXPECT_THAT(finger_messages(transcript.events()), ElementsAre(type_image, type_detected, type_removed));
}

TEST_F(PublicationTest, EarlyPathWithoutDelayPutsDetectedBetweenImageAndRemoved) {
    Transcript transcript;
    frame(150);
    frame(160);
    frame(20);
    EXPECT_THAT(finger_messages(transcript.events()), ElementsAre(type_image, type_detected, type_removed));
    EXPECT_THAT(transcript.summary(), ElementsAre("################ Dedo Precoce!!!!!!", "image v=160",
                                                  "UUID", "detected", "removed"));
}

TEST_F(PublicationTest, EarlyPathWithDelayPostsDetectedAfterRemovedFromTheConsumer) {
    finger_detected_delay = 200 * 1000;
    start_consumer();
    Transcript transcript;
    frame(150);
    frame(160);
    frame(20);
    EXPECT_THAT(finger_messages(transcript.events()), ElementsAre(type_image, type_removed));

    ASSERT_TRUE(transcript.wait_for_count(type_detected, 1, 3s));
    EXPECT_THAT(finger_messages(transcript.events()), ElementsAre(type_image, type_removed, type_detected));
    const Event image = transcript.messages(type_image).at(0);
    const Event detected = transcript.messages(type_detected).at(0);
    EXPECT_NE(detected.thread, std::this_thread::get_id());
    const double delay = ms_between(image.at, detected.at);
    EXPECT_GE(delay, 195.0);
    EXPECT_LT(delay, 1000.0);
}

TEST_F(PublicationTest, IdentificationDisabledSendsOnlyTheRemoval) {
    ovra::host::set_identification_enabled(bio_identifier_id, false);
    Transcript transcript;
    frame(150);
    frame(160);
    frame(170);
    frame(180);
    frame(20);
    EXPECT_THAT(finger_messages(transcript.events()), ElementsAre(type_removed));
    EXPECT_THAT(transcript.summary(), ElementsAre("Biometry identification disabled!", "removed"));
}

// Natively an event is at most a few tens of milliseconds late, which tells one delay row from the
// next; under an emulator only the lower bounds are meaningful.
#ifdef BIO_TEST_EMULATED
constexpr double late_allowance_ms = 1000.0;
#else
constexpr double late_allowance_ms = 0.0;
#endif

// Delay of the finger-detected event after the image, by template count and configured delay.
struct DelayCase {
    const char* name;
    int templates;
    int configured_ms;  // finger_detected_delay as configured
    double at_least_ms;
    double below_ms;
};

std::ostream& operator<<(std::ostream& out, const DelayCase& c) {
    return out << c.name;
}

class DetectedDelayTest : public PublicationTest, public testing::WithParamInterface<DelayCase> {};

TEST_P(DetectedDelayTest, ComesFromTheConsumerAfterTheDelay) {
    const DelayCase& c = GetParam();
    template_count.store(c.templates);
    finger_detected_delay = c.configured_ms * 1000;
    start_consumer();
    Transcript transcript;
    std::vector<unsigned char> best(frame_bytes, 0);
    publish_finger_image(best.data(), 200);
    EXPECT_EQ(transcript.count(type_detected), 0) << "a delayed event went out at once";

    ASSERT_TRUE(transcript.wait_for_count(type_detected, 1, 3s));
    const Event image = transcript.messages(type_image).at(0);
    const Event detected = transcript.messages(type_detected).at(0);
    EXPECT_NE(detected.thread, std::this_thread::get_id());
    const double delay = ms_between(image.at, detected.at);
    EXPECT_GE(delay, c.at_least_ms);
    EXPECT_LT(delay, c.below_ms + late_allowance_ms);
}

// 50, 150 and 250 ms past 4000, 6000 and 8000 templates; a configured delay wins over the table.
INSTANTIATE_TEST_SUITE_P(
    Delays, DetectedDelayTest,
    testing::Values(DelayCase{"templates_4001", 4001, 0, 45, 1000},
                    DelayCase{"templates_6000", 6000, 0, 45, 145},
                    DelayCase{"templates_6001", 6001, 0, 145, 1000},
                    DelayCase{"templates_8000", 8000, 0, 145, 245},
                    DelayCase{"templates_8001", 8001, 0, 245, 1000},
                    DelayCase{"configured_200ms_over_4001_templates", 4001, 200, 195, 1000},
                    DelayCase{"configured_200ms_over_no_templates", 0, 200, 195, 1000}),
    [](const testing::TestParamInfo<DelayCase>& p) { return std::string(p.param.name); });

TEST_F(PublicationTest, NegativeConfiguredDelayFallsBackToTheTable) {
    finger_detected_delay = -5000;
    template_count.store(100);
    Transcript transcript;
    std::vector<unsigned char> best(frame_bytes, 0);
    publish_finger_image(best.data(), 200);
    EXPECT_EQ(transcript.count(type_detected), 1);
}

TEST_F(PublicationTest, TwoPublicationsWithinTheDelayPostTwoEventsInOrder) {
    finger_detected_delay = 150 * 1000;
    start_consumer();
    Transcript transcript;
    std::vector<unsigned char> best(frame_bytes, 0);
    publish_finger_image(best.data(), 200);

    // The consumer holds the mutex while it runs the task; once it does, the task is taken and the
    // next hand-over has to wait for it rather than replace it.
    const auto give_up = Clock::now() + 3s;
    while (_finger_detected_mutex.try_lock()) {
        _finger_detected_mutex.unlock();
        ASSERT_LT(Clock::now(), give_up) << "the consumer never took the task";
        std::this_thread::yield();
    }

    publish_finger_image(best.data(), 201);
    const auto second_returned = Clock::now();
    // The second hand-over waited for the first event.
    ASSERT_EQ(transcript.count(type_detected), 1);

    ASSERT_TRUE(transcript.wait_for_count(type_detected, 2, 3s));
    EXPECT_THAT(finger_messages(transcript.events()),
                ElementsAre(type_image, type_image, type_detected, type_detected));
    const auto images = transcript.messages(type_image);
    const auto detected = transcript.messages(type_detected);
    EXPECT_LE(detected[0].at, second_returned);
    EXPECT_GE(ms_between(images[0].at, detected[0].at), 145.0);
    EXPECT_GE(ms_between(detected[0].at, detected[1].at), 145.0);
}

TEST_F(PublicationTest, ImageFileIsWrittenWhenAPathIsSet) {
    camera_sensor = "GC032A";
    build_perspective_matrices();
    finger_image_path = env.dir().file("finger.png");
    Transcript transcript;
    std::vector<unsigned char> best(frame_bytes, 90);
    publish_finger_image(best.data(), 200);

    std::ifstream file(finger_image_path, std::ios::binary);
    ASSERT_TRUE(file.good());
    unsigned char head[24] = {};
    file.read(reinterpret_cast<char*>(head), sizeof head);
    ASSERT_EQ(file.gcount(), 24);
    const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    EXPECT_EQ(std::memcmp(head, signature, 8), 0);
    // IHDR width and height, big-endian: 260 x 350.
    EXPECT_EQ((head[16] << 24) | (head[17] << 16) | (head[18] << 8) | head[19], 260);
    EXPECT_EQ((head[20] << 24) | (head[21] << 16) | (head[22] << 8) | head[23], 350);
}

TEST_F(PublicationTest, ImageFileFailureComesAfterTheImageAndTheDetectedSignal) {
    // An unknown sensor publishes a 0 x 0 image, which the PNG writer refuses.
    camera_sensor = "None";
    finger_image_path = env.dir().file("finger.png");
    Transcript transcript;
    std::vector<unsigned char> best(frame_bytes, 0);
    EXPECT_THROW(publish_finger_image(best.data(), 200), std::ios_base::failure);
    EXPECT_THAT(finger_messages(transcript.events()), ElementsAre(type_image, type_detected));
}

}  // namespace
