// Text helpers shared by the tools and the virtual sensor.
#include "bio_common/text.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <memory>

namespace bio_common {

std::string trim(std::string_view text, std::string_view strip) {
    const auto first = text.find_first_not_of(strip);
    if (first == std::string_view::npos) {
        return {};
    }
    return std::string(text.substr(first, text.find_last_not_of(strip) - first + 1));
}

std::vector<std::string> split_words(std::string_view line) {
    std::vector<std::string> words;
    std::size_t at = 0;
    while ((at = line.find_first_not_of(blanks, at)) != std::string_view::npos) {
        const std::size_t end = line.find_first_of(blanks, at);
        words.emplace_back(line.substr(at, end - at));
        at = end;
    }
    return words;
}

std::string read_file(const std::string& path) {
    struct closer {
        void operator()(std::FILE* file) const noexcept { std::fclose(file); }
    };
    std::unique_ptr<std::FILE, closer> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        throw std::system_error(errno, std::generic_category(), path);
    }
    std::string text;
    char chunk[4096];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
        text.append(chunk, got);
    }
    if (std::ferror(file.get()) != 0) {
        throw std::system_error(errno, std::generic_category(), path);
    }
    return text;
}

std::string number_text(double value) {
    std::array<char, 32> text{};  // the shortest form of any double takes at most 24 characters
    const auto written = std::to_chars(text.data(), text.data() + text.size(), value);
    return std::string(text.data(), written.ptr);
}

std::uint64_t fnv1a64(const unsigned char* data, std::size_t length) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (std::size_t i = 0; i < length; ++i) {
        hash = (hash ^ data[i]) * 0x100000001b3ull;
    }
    return hash;
}

}  // namespace bio_common
