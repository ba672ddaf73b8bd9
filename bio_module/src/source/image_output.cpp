// Image output: the PNG finger image file and the UDP debug stream.
#include "bio_module.h"

// Starting point: replaced by the real outputs.
void write_finger_image(const unsigned char*, int, int) {}
void send_fingerprint(const std::string&, int, int, unsigned char*, int) {}
