// Finger pipeline: the capture loop, the finger detector and publication on the bus.
#include "bio_module.h"

#include "ovra/ovra_exception.h"

unsigned char captured_frame[frame_bytes];
DetectionState detection = {0, 0, nullptr, false};
unsigned char grey_scratch[grey_capacity];
std::string last_uuid;

std::mutex _finger_detected_mutex;
std::condition_variable _finger_detected_cv;
std::function<void()> _finger_detected_action;
std::unique_ptr<std::thread> _finger_detected_consumer;

// Starting point: replaced by the real loop.
int grey_width_for_sensor() { return 0; }
int grey_height_for_sensor() { return 0; }
int run() { throw ovra::ovra_exception("capture loop not built yet", true); }
bool pred() { return _enabled.load(); }
void capture_image() {}
void restart_module() {}
void detection_step(int) {}
void publish_finger_image(const unsigned char*, int) {}
void send_finger_removed() {}
void signal_finger_detected() {}
void finger_detected_consumer_body() {}
