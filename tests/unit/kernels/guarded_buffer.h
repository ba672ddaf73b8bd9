// Test buffers that end (and start) at an inaccessible page, so a kernel reading or writing one
// byte outside them crashes instead of passing by luck.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <stdexcept>

class guarded_buffer {
public:
    // size usable bytes; the last one is the last byte of a page, the page after it is PROT_NONE,
    // and so is the page before the first usable page.
    explicit guarded_buffer(std::size_t size) : size_(size) {
        page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t data_pages = (size + page_ - 1) / page_;
        mapped_ = (data_pages + 2) * page_;
        void* base = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) {
            throw std::runtime_error("mmap failed");
        }
        base_ = static_cast<unsigned char*>(base);
        if (mprotect(base_, page_, PROT_NONE) != 0 ||
            mprotect(base_ + (data_pages + 1) * page_, page_, PROT_NONE) != 0) {
            munmap(base_, mapped_);
            throw std::runtime_error("mprotect failed");
        }
        data_ = base_ + (data_pages + 1) * page_ - size;
    }
    ~guarded_buffer() { munmap(base_, mapped_); }
    guarded_buffer(const guarded_buffer&) = delete;
    guarded_buffer& operator=(const guarded_buffer&) = delete;

    unsigned char* data() { return data_; }
    std::size_t size() const { return size_; }
    unsigned char& operator[](std::size_t i) { return data_[i]; }

    void fill(unsigned char value) {
        for (std::size_t i = 0; i < size_; ++i) {
            data_[i] = value;
        }
    }
    void fill_random(std::uint32_t seed) {
        std::mt19937 generator(seed);
        std::uniform_int_distribution<int> byte(0, 255);
        for (std::size_t i = 0; i < size_; ++i) {
            data_[i] = static_cast<unsigned char>(byte(generator));
        }
    }

private:
    std::size_t size_;
    std::size_t page_ = 0;
    std::size_t mapped_ = 0;
    unsigned char* base_ = nullptr;
    unsigned char* data_ = nullptr;
};

// The sample of pixel (x, y) of a 640 x 480 UYVY frame: the first byte of its 2-byte group.
inline unsigned char& sample_at(unsigned char* frame, int x, int y) {
    return frame[2 * (x + 640 * y)];
}
