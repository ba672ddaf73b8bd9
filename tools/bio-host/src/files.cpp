// Whole-file reading and writing for bio-host's configuration, scenario and model files.
#include "files.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "bio_common/text.h"

namespace bio_host {

std::string read_text_file(const std::string& path) {
    try {
        return bio_common::read_file(path);
    } catch (const std::system_error& e) {
        throw std::runtime_error("cannot read " + path + ": " + std::strerror(e.code().value()));
    }
}

void write_text_file(const std::string& path, const std::string& content) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
    if (!file.flush()) {
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    }
}

}  // namespace bio_host
