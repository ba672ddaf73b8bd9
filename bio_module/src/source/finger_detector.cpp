// Finger detector: one step per scored frame, following each touch, keeping its best frame and
// publishing the corrected image of an accepted touch on the bus.
#include "bio_module.h"

#include <climits>
#include <cstring>
#include <memory>

#include "ovra/buffer.h"
#include "ovra/log.h"
#include "ovra/message.h"
#include "ovra/post_office.h"
#include "ovra/util.h"
#include "ovra_dal/dal.h"

namespace {

// Texts this unit emits: log records and the image message's type.
constexpr const char* text_early_touch = "################ Dedo Precoce!!!!!!";
constexpr const char* text_identification_disabled = "Biometry identification disabled!";
constexpr const char* text_uuid_prefix = "UUID:";
constexpr const char* text_type_new_image = "identifier_new_biometric_image";

// The best frame of the current touch lives for the life of the module; it starts zero-filled,
// so a touch published before any frame was copied (var_min or min_img_num of 0 or less)
// publishes a black frame.
unsigned char best_frame_storage[frame_bytes];

}  // namespace

DetectionState detection = {0, 0, best_frame_storage, false};
std::string last_uuid;

namespace {

// Publishes the touch's best frame when identification is enabled, or logs that it is not; true when
// it published.
bool publish_touch() {
    if (ovra::util::identifier::identification_enabled(bio_identifier_id)) {
        publish_finger_image(detection.best_frame, detection.best_variance);
        return true;
    }
    BIO_DEBUG("run", text_identification_disabled);
    return false;
}

// A finger lies on the glass: count the frame and keep it when it beats the best; at img_num frames
// publish (or decline) once.
void count_finger_frame(int variance) {
    if (detection.handled) {
        return;
    }
    if (variance > detection.best_variance) {
        std::memcpy(detection.best_frame, captured_frame, frame_bytes);
        detection.best_variance = variance;
    }
    // Saturate: with img_num of 0 or less a finger left on the glass is counted for ever.
    if (detection.finger_frames < INT_MAX) {
        ++detection.finger_frames;
    }
    if (detection.finger_frames == img_num) {
        publish_touch();
        detection.handled = true;
    }
}

// The glass is empty: the removal event after a handled touch, an early publication after a touch of
// at least min_img_num frames, or a silent reset after a shorter one.
void finger_lifted() {
    if (detection.handled) {
        send_finger_removed();
        reset_touch();
        return;
    }
    if (detection.finger_frames >= min_img_num) {
        BIO_DEBUG("run", text_early_touch);
        if (publish_touch()) {
            send_finger_removed();
            reset_touch();
        } else {
            // The removal event follows with the next frame below var_min.
            detection.handled = true;
        }
        return;
    }
    reset_touch();
}

}  // namespace

// Width and height of the corrected image of the fitted sensor: 0 x 0 for an unknown one.
int grey_width_for_sensor() {
    if (camera_sensor == "GC032A" || camera_sensor == "GC0307" || camera_sensor == "GC0328") {
        return grey_width;
    }
    return 0;
}

int grey_height_for_sensor() {
    if (camera_sensor == "GC032A") {
        return perspective_rows;
    }
    if (camera_sensor == "GC0307" || camera_sensor == "GC0328") {
        return remap_rows;
    }
    return 0;
}

// Forgets the current touch; the best frame's bytes stay.
void reset_touch() {
    detection.finger_frames = 0;
    detection.best_variance = 0;
    detection.handled = false;
}

// The frame's score with the kernels chosen for this process (finger_kernels.h).
int image_variance(const unsigned char* frame, int block_size, int row_step) {
    return active_kernels().variance(frame, block_size, row_step);
}

// One step of the detector for the frame in captured_frame, whose score is `variance`.
void detection_step(int variance) {
    if (variance >= var_min) {
        count_finger_frame(variance);
    } else {
        finger_lifted();
    }
}

// Corrects the best frame, posts it as "identifier_new_biometric_image", signals the finger and writes
// the PNG file when finger_image_path is set; raises what the host calls and the PNG writer raise.
void publish_finger_image(const unsigned char* best_frame, int best_variance) {
    correct_image(best_frame, grey_scratch);
    const int width = grey_width_for_sensor();
    const int height = grey_height_for_sensor();
    const std::size_t length = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);

    // The bus owns the image copy, its buffer and the message once they are handed over.
    std::unique_ptr<unsigned char[]> image(new unsigned char[length]);
    std::memcpy(image.get(), grey_scratch, length);
    std::unique_ptr<ovra::Message> message(new ovra::Message(text_type_new_image, 0, nullptr));
    message->add_int("identifier_id", bio_identifier_id);
    message->add_int64("device_id", ovra_dal::device::this_id());
    message->add_int("width", width);
    message->add_int("height", height);
    std::unique_ptr<ovra::Buffer> buffer(new ovra::Buffer(image.get(), length, false));
    image.release();
    message->add_buffer("image", buffer.release());
    last_uuid = ovra::util::identifier::generate_new_uuid();
    message->add_string("uuid", last_uuid);
    message->add_int("variance", best_variance);
    ovra::PostOffice::send_message(message.release());

    BIO_DEBUG("run", text_uuid_prefix + last_uuid);
    signal_finger_detected();
    if (!finger_image_path.empty()) {
        write_finger_image(grey_scratch, width, height);
    }
}
