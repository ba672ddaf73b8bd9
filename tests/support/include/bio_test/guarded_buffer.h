// Page-guarded test buffers: an inaccessible page lies right after the last byte and right before the
// first, so a kernel that reads or writes one byte outside its buffer crashes instead of passing by luck.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <random>
#include <system_error>

namespace bio_test {

class GuardedBuffer {
public:
    // `size` usable bytes, zero-filled, ending at a page boundary; throws std::system_error.
    explicit GuardedBuffer(std::size_t size) : size_(size) {
        const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t data_pages = (size + page - 1) / page;
        mapped_ = (data_pages + 2) * page;
        void* base = mmap(nullptr, mapped_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED ||
            mprotect(static_cast<char*>(base) + page, data_pages * page, PROT_READ | PROT_WRITE) != 0) {
            throw std::system_error(errno, std::generic_category(), "guarded buffer");
        }
        base_ = static_cast<unsigned char*>(base);
        data_ = base_ + (data_pages + 1) * page - size;
    }
    ~GuardedBuffer() { munmap(base_, mapped_); }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    unsigned char* data() noexcept { return data_; }
    unsigned char& operator[](std::size_t i) noexcept { return data_[i]; }
    // The low bytes of a std::mt19937 seeded with `seed`: the same frame on every platform.
    void fill_random(std::uint32_t seed) {
        std::mt19937 generator(seed);
        for (std::size_t i = 0; i < size_; ++i) {
            data_[i] = static_cast<unsigned char>(generator() & 0xFFu);
        }
    }

private:
    std::size_t size_;
    std::size_t mapped_ = 0;
    unsigned char* base_ = nullptr;
    unsigned char* data_ = nullptr;
};

}  // namespace bio_test
