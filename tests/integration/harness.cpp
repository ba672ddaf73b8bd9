// Helpers of the integration tests.
#include "harness.h"

#include <dirent.h>
#include <sys/stat.h>

#include <png.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

namespace bio_it {

bool file_exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::vector<std::string> list_files(const std::string& dir, const std::string& prefix) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_regular_file() && name.rfind(prefix, 0) == 0) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string fnv1a64_hex(const unsigned char* data, std::size_t length) {
    std::uint64_t hash = 14695981039346656037ull;
    for (std::size_t i = 0; i < length; ++i) {
        hash = (hash ^ data[i]) * 1099511628211ull;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

std::unique_ptr<Process> start_host(const TempDir& dir, const HostOptions& options) {
    const std::string config =
        options.config.empty() ? std::string(BIO_SOURCE_DIR) + "/config/desktop.ini" : options.config;
    std::vector<std::string> argv{BIO_HOST_EXE, "--config", config, "--log-level", options.log_level};
    if (options.json) {
        argv.push_back("--json");
    }
    if (options.explicit_plugin) {
        argv.push_back("--plugin");
        argv.push_back(BIO_PLUGIN_SO);
    }
    if (options.simulate) {
        const std::string scenario = dir.file("scenario.txt");
        write_file(scenario, options.scenario);
        argv.push_back("--simulate");
        argv.push_back(scenario);
    }
    for (const std::string& set : options.sets) {
        argv.push_back("--set");
        argv.push_back(set);
    }
    argv.insert(argv.end(), options.args.begin(), options.args.end());
    Environment env{{"TMPDIR", dir.path()}};
    const std::string emulator = emulator_string();
    if (!emulator.empty()) {
        env.emplace_back("BIO_EMULATOR", emulator);
    }
    return std::make_unique<Process>(argv, env);
}

std::optional<Json> parse_line(const std::string& line) {
    if (line.empty() || line.front() != '{') {
        return std::nullopt;
    }
    Json object = Json::parse(line, nullptr, false);
    if (object.is_discarded() || !object.is_object()) {
        return std::nullopt;
    }
    return object;
}

std::function<bool(const std::string&)> is_kind(const std::string& kind) {
    return [kind](const std::string& line) {
        const auto object = parse_line(line);
        return object && object->value("kind", "") == kind;
    };
}

std::function<bool(const std::string&)> is_bus(const std::string& type) {
    return [type](const std::string& line) {
        const auto object = parse_line(line);
        return object && object->value("kind", "") == "bus" && object->value("type", "") == type;
    };
}

std::function<bool(const std::string&)> is_ack(const std::string& command) {
    return [command](const std::string& line) {
        const auto object = parse_line(line);
        return object && object->value("kind", "") == "ack" && object->value("command", "") == command;
    };
}

std::string dump(const Process& process) {
    std::string text;
    for (const std::string& line : process.lines()) {
        text += "  " + line.substr(0, 400) + "\n";
    }
    const std::string err = process.stderr_text();
    if (!err.empty()) {
        text += "stderr:\n" + err.substr(0, 4000);
    }
    return text;
}

std::optional<std::pair<std::size_t, Json>> expect_line(const Process& process,
                                                        const std::function<bool(const std::string&)>& match,
                                                        const std::string& what, std::size_t from,
                                                        std::chrono::milliseconds timeout) {
    const auto index = process.wait_line(match, timeout, from);
    if (!index) {
        ADD_FAILURE() << "no " << what << " in the transcript (from line " << from << "):\n" << dump(process);
        return std::nullopt;
    }
    return std::make_pair(*index, *parse_line(process.lines()[*index]));
}

std::optional<std::pair<std::size_t, Json>> command(Process& process, const std::string& line,
                                                    std::size_t from) {
    process.write_line(line);
    auto ack = expect_line(process, is_ack(line), "acknowledgement of '" + line + "'", from);
    if (ack) {
        EXPECT_TRUE(ack->second.value("ok", false)) << ack->second.dump();
    }
    return ack;
}

std::vector<Json> transcript(const Process& process) {
    std::vector<Json> objects;
    for (const std::string& line : process.lines()) {
        if (auto object = parse_line(line)) {
            objects.push_back(std::move(*object));
        }
    }
    return objects;
}

std::vector<Json> bus_messages(const Process& process, const std::string& type) {
    std::vector<Json> found;
    for (Json& object : transcript(process)) {
        if (object.value("kind", "") == "bus" && object.value("type", "") == type) {
            found.push_back(std::move(object));
        }
    }
    return found;
}

Picture decode_png(const std::string& path, bool rgb) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, path.c_str()) == 0) {
        throw std::runtime_error("cannot decode " + path + ": " + image.message);
    }
    image.format = rgb ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
    Picture picture;
    picture.width = image.width;
    picture.height = image.height;
    picture.samples.resize(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, picture.samples.data(), 0, nullptr) == 0) {
        const std::string message = image.message;
        png_image_free(&image);
        throw std::runtime_error("cannot decode " + path + ": " + message);
    }
    return picture;
}

std::unique_ptr<Process> start_stream(const std::vector<std::string>& args, int* port) {
    std::vector<std::string> argv{BIO_STREAM_EXE, "--bind", "127.0.0.1", "--port", "0"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto process = std::make_unique<Process>(argv);
    const std::string prefix = "bio-stream: listening on 127.0.0.1:";
    const auto index =
        process->wait_line([&](const std::string& line) { return line.rfind(prefix, 0) == 0; }, start_wait);
    if (!index) {
        ADD_FAILURE() << "bio-stream did not report its port:\n" << dump(*process);
        return nullptr;
    }
    *port = std::atoi(process->lines()[*index].c_str() + prefix.size());
    return process;
}

}  // namespace bio_it
