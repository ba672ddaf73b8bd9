// A tiny V4L2 capture program for the virtual sensor's out-of-process tests: run with
// libvsensor.so preloaded, it streams a few frames from the device and tears down.
//   vsensor_probe <device> <frames>
// Prints "frames <n>" and exits 0 when every frame came; prints the failing step and exits 1
// otherwise.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "v4l2_client.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: vsensor_probe <device> <frames>\n");
        return 1;
    }
    const int wanted = std::atoi(argv[2]);
    vsensor_test::Client client(argv[1]);
    if (!client.start()) {
        std::fprintf(stderr, "vsensor_probe: start failed: %s\n", std::strerror(client.last.error));
        return 1;
    }
    int received = 0;
    while (received < wanted && client.next_frame().has_value()) {
        ++received;
    }
    client.stop();
    std::printf("frames %d\n", received);
    return received == wanted ? 0 : 1;
}
