// Fuzz target: the recording reader, as the virtual sensor replays a file. The file is the input
// followed by zeros, 160000 times the input's last byte modulo 9 (up to two frames), so that
// short inputs reach whole frames of 614400 bytes.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "recording/recording.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const int fd = ::memfd_create("recording", 0);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const off_t length = static_cast<off_t>(size) + (size > 0 ? data[size - 1] % 9 * 160000 : 0);
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size) ||
        ::ftruncate(fd, length) != 0) {
        std::abort();
    }
    try {
        recording::Reader reader(path);
        recording::Frame frame;
        int frames = 0;
        while (reader.next(frame)) {
            ++frames;
        }
        // A rewound recording gives the same frames again.
        reader.rewind();
        for (int i = 0; i < frames; ++i) {
            if (!reader.next(frame)) {
                std::abort();
            }
        }
    } catch (const std::runtime_error&) {
        // Not a recording: the sensor refuses the replay line.
    }
    return 0;
}
