// A block of bytes carried by a bus message.
#pragma once

#include <cstddef>

#include "ovra/export.h"

namespace ovra {

// Owns `data`, which must come from new[]; it is released with delete[] when the buffer
// is destroyed. With `copy` true the buffer makes its own copy instead and the caller keeps
// `data`.
class OVRA_API Buffer {
public:
    Buffer(unsigned char* data, std::size_t length, bool copy);
    ~Buffer();
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    const unsigned char* data() const noexcept;
    std::size_t length() const noexcept;

private:
    unsigned char* data_;
    std::size_t length_;
};

}  // namespace ovra
