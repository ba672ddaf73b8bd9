// Text helpers shared by the tools and the virtual sensor: line trimming, word splitting, whole
// files, integers and the FNV-1a digest that transcripts print.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace bio_common {

// Every white-space character of the C locale.
inline constexpr std::string_view blanks = " \t\r\n\f\v";

// `text` without leading and trailing characters of `strip`.
std::string trim(std::string_view text, std::string_view strip = blanks);

// The words of `line`, separated by runs of white space.
std::vector<std::string> split_words(std::string_view line);

// Whole content of the file at `path`. Raises std::system_error carrying the errno of the
// failing open or read (its what() begins with `path`).
std::string read_file(const std::string& path);

// `word` as an integer of type T in base `base` when the whole word is one (an optional minus
// sign, then digits; no blanks, no plus sign) and it fits T; nullopt otherwise.
template <typename T>
std::optional<T> parse_integer(std::string_view word, int base = 10) {
    T value{};
    const char* const end = word.data() + word.size();
    const auto [ptr, error] = std::from_chars(word.data(), end, value, base);
    if (word.empty() || error != std::errc() || ptr != end) {
        return std::nullopt;
    }
    return value;
}

// `value` as a person writes it: the shortest decimal that reads back as the same double, without
// trailing zeros ("8", "0.25", "1500"); "nan" and "inf" as such.
std::string number_text(double value);

// FNV-1a, 64 bits (offset basis 0xcbf29ce484222325, prime 0x100000001b3), of `length` bytes.
std::uint64_t fnv1a64(const unsigned char* data, std::size_t length);

}  // namespace bio_common
