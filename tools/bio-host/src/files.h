// Whole text files as bio-host reads and writes them, failures told with the path.
#pragma once

#include <string>

namespace bio_host {

// Content of the file at `path`. Raises std::runtime_error "cannot read PATH: <reason>".
std::string read_text_file(const std::string& path);

// Replaces the file at `path` with `content`. Raises std::runtime_error
// "cannot write PATH: <reason>".
void write_text_file(const std::string& path, const std::string& content);

}  // namespace bio_host
