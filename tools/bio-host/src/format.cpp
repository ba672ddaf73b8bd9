// Text and JSON renderings of what bio-host prints.
#include "format.h"

#include <cstdio>

#include "bio_common/text.h"

namespace bio_host {
namespace {

Json frames_value(long long frames) {
    if (frames < 0) {
        return nullptr;
    }
    return frames;
}

std::string frames_text(long long frames) {
    return frames < 0 ? std::string("n/a") : std::to_string(frames);
}

}  // namespace

std::string digest_hex(const unsigned char* data, std::size_t length) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx",
                  static_cast<unsigned long long>(bio_common::fnv1a64(data, length)));
    return text;
}

std::string fields_text(const ovra::Message& message) {
    std::string out;
    for (const ovra::MessageField& field : message.fields()) {
        if (!out.empty()) {
            out += ' ';
        }
        out += field.name;
        out += '=';
        switch (field.kind) {
            case ovra::MessageField::Kind::integer:
            case ovra::MessageField::Kind::integer64:
                out += std::to_string(field.number);
                break;
            case ovra::MessageField::Kind::string:
                out += Json(field.text).dump(-1, ' ', false, Json::error_handler_t::replace);
                break;
            case ovra::MessageField::Kind::buffer: {
                const std::size_t length = field.buffer ? field.buffer->length() : 0;
                const unsigned char* data = field.buffer ? field.buffer->data() : nullptr;
                out += "<" + std::to_string(length) + " bytes fnv1a64:" + digest_hex(data, length) + ">";
                break;
            }
        }
    }
    return out;
}

Json fields_json(const ovra::Message& message) {
    Json fields = Json::object();
    for (const ovra::MessageField& field : message.fields()) {
        switch (field.kind) {
            case ovra::MessageField::Kind::integer:
            case ovra::MessageField::Kind::integer64:
                fields[field.name] = field.number;
                break;
            case ovra::MessageField::Kind::string:
                fields[field.name] = field.text;
                break;
            case ovra::MessageField::Kind::buffer: {
                const std::size_t length = field.buffer ? field.buffer->length() : 0;
                const unsigned char* data = field.buffer ? field.buffer->data() : nullptr;
                fields[field.name] = Json{{"bytes", length}, {"fnv1a64", digest_hex(data, length)}};
                break;
            }
        }
    }
    return fields;
}

std::string bus_line(std::uint64_t sequence, double seconds, const ovra::Message& message) {
    char head[64];
    std::snprintf(head, sizeof head, "bus #%llu +%.3fs ", static_cast<unsigned long long>(sequence), seconds);
    std::string line = head + message.type();
    const std::string fields = fields_text(message);
    if (!fields.empty()) {
        line += ' ' + fields;
    }
    return line;
}

Json bus_json(std::uint64_t sequence, double seconds, const ovra::Message& message,
              const std::string& thread) {
    Json object{{"kind", "bus"},
                {"seq", sequence},
                {"t", static_cast<double>(static_cast<long long>(seconds * 1e6)) / 1e6},
                {"type", message.type()}};
    if (!thread.empty()) {
        object["thread"] = thread;
    }
    object["fields"] = fields_json(message);
    return object;
}

const char* level_name(ovra::host::LogLevel level) {
    switch (level) {
        case ovra::host::LogLevel::debug:
            return "debug";
        case ovra::host::LogLevel::info:
            return "info";
        case ovra::host::LogLevel::error:
            return "error";
    }
    return "unknown";
}

std::string log_line(const ovra::host::LogRecord& record) {
    return "log " + ovra::host::format_record(record);
}

Json log_json(const ovra::host::LogRecord& record) {
    return Json{{"kind", "log"},
                {"level", level_name(record.level)},
                {"function", record.function},
                {"file", record.file},
                {"line", record.line},
                {"text", record.text}};
}

std::string status_line(const Tally& tally) {
    return "status: enabled " + std::string(tally.enabled ? "yes" : "no") + ", templates " +
           std::to_string(tally.templates) + ", keep-alives " + std::to_string(tally.keep_alives) +
           ", frames " + frames_text(tally.frames);
}

Json status_json(const Tally& tally) {
    return Json{{"kind", "status"},
                {"enabled", tally.enabled},
                {"templates", tally.templates},
                {"keep_alives", tally.keep_alives},
                {"frames", frames_value(tally.frames)}};
}

std::string summary_line(const Tally& tally) {
    return "summary: touches published " + std::to_string(tally.touches) + ", finger-removed events " +
           std::to_string(tally.finger_removed) + ", frames seen " + frames_text(tally.frames) +
           ", camera restarts " + std::to_string(tally.restarts) + ", finger-detected events " +
           std::to_string(tally.finger_detected) + ", keep-alives " + std::to_string(tally.keep_alives) +
           " (late " + std::to_string(tally.late_keep_alives) + ")" +
           (tally.streamed != 0 ? ", frames streamed " + std::to_string(tally.streamed) : "");
}

Json summary_json(const Tally& tally) {
    return Json{{"kind", "summary"},
                {"touches", tally.touches},
                {"finger_removed", tally.finger_removed},
                {"frames", frames_value(tally.frames)},
                {"restarts", tally.restarts},
                {"finger_detected", tally.finger_detected},
                {"keep_alives", tally.keep_alives},
                {"late_keep_alives", tally.late_keep_alives},
                {"frames_streamed", tally.streamed}};
}

std::string watchdog_line(const WatchdogReport& report) {
    const std::string limit = " (limit " + std::to_string(report.limit_ms) + " ms)";
    if (report.late) {
        return "watchdog: keep-alive of bio_module came " + std::to_string(report.ms) +
               " ms after the previous one" + limit;
    }
    return "watchdog: no keep-alive of bio_module for " + std::to_string(report.ms) + " ms" + limit;
}

Json watchdog_json(const WatchdogReport& report) {
    return Json{{"kind", "watchdog"},
                {"event", report.late ? "late" : "silent"},
                {"name", "bio_module"},
                {report.late ? "gap_ms" : "silent_ms", report.ms},
                {"limit_ms", report.limit_ms}};
}

}  // namespace bio_host
