// The event stream: each event is one JSON object (nlohmann's, keeping the
// fields in the order given: type and time first) dumped on one line,
// written and flushed at once so that a reader of a pipe or a growing file
// sees it while the run goes on.
#include "events/events.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

std::FILE* stream = nullptr;
bool stream_is_stderr = false;
bool write_failed = false;
Clock::time_point opened_at;
// Large enough for the longest event (the start event with its steps)
// to reach the file in one write.
std::array<char, 1 << 16> stream_buffer{};

void report_write_failure() {
    if (write_failed) return;
    write_failed = true;
    int error = errno;
    std::fprintf(stderr, "Cannot write the events file: %s\n", std::strerror(error));
}

// A flush cut short by a signal is tried again: the signal itself is acted
// on where the program checks for it, and the event must not be lost.
bool flush_stream() {
    while (std::fflush(stream) != 0) {
        if (errno != EINTR) return false;
        std::clearerr(stream);
    }
    return true;
}

void write_line(const nlohmann::ordered_json& object) {
    if (stream == nullptr || write_failed) return;
    std::string line;
    try {
        line = object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    } catch (const std::exception&) {
        errno = EINVAL;
        report_write_failure();
        return;
    }
    line += '\n';
    if (std::fwrite(line.data(), 1, line.size(), stream) != line.size() || !flush_stream())
        report_write_failure();
}

long long elapsed_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - opened_at).count();
}

}  // namespace

struct Event::Fields {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
};

bool events_open(const char* path) {
    if (std::strcmp(path, "-") == 0) {
        stream = stderr;
        stream_is_stderr = true;
    } else {
        // Binary: one LF a line on every platform.
        stream = std::fopen(path, "wb");
        if (stream == nullptr) return false;
        std::setvbuf(stream, stream_buffer.data(), _IOFBF, stream_buffer.size());
    }
    opened_at = Clock::now();
    return true;
}

bool events_on() { return stream != nullptr; }

Event::Event(std::string_view type) {
    if (!events_on()) return;
    fields_ = std::make_unique<Fields>();
    fields_->object["event"] = type;
    fields_->object["t_ms"] = elapsed_ms();
}

Event::Event(Event&&) noexcept = default;
Event& Event::operator=(Event&&) noexcept = default;
Event::~Event() = default;

Event Event::object() {
    Event nested;
    if (events_on()) nested.fields_ = std::make_unique<Fields>();
    return nested;
}

Event& Event::with(std::string_view key, std::string_view text) {
    if (fields_) fields_->object[std::string(key)] = text;
    return *this;
}

Event& Event::with(std::string_view key, const char* text) {
    if (!fields_) return *this;
    if (text == nullptr)
        fields_->object[std::string(key)] = nullptr;
    else
        fields_->object[std::string(key)] = text;
    return *this;
}

Event& Event::with(std::string_view key, bool value) {
    if (fields_) fields_->object[std::string(key)] = value;
    return *this;
}

Event& Event::with(std::string_view key, double value) {
    if (fields_) fields_->object[std::string(key)] = value;
    return *this;
}

Event& Event::with_signed(std::string_view key, int64_t value) {
    if (fields_) fields_->object[std::string(key)] = value;
    return *this;
}

Event& Event::with_unsigned(std::string_view key, uint64_t value) {
    if (fields_) fields_->object[std::string(key)] = value;
    return *this;
}

Event& Event::with(std::string_view key, Event&& nested) {
    if (fields_ && nested.fields_) fields_->object[std::string(key)] = std::move(nested.fields_->object);
    return *this;
}

Event& Event::add(std::string_view key, Event&& item) {
    if (fields_ && item.fields_) fields_->object[std::string(key)].push_back(std::move(item.fields_->object));
    return *this;
}

Event& Event::add(std::string_view key, std::string_view text) {
    if (fields_) fields_->object[std::string(key)].push_back(text);
    return *this;
}

void Event::write() {
    if (!fields_) return;
    write_line(fields_->object);
    fields_.reset();
}

bool events_end(int status, std::string_view reason) {
    if (stream == nullptr) return !write_failed;
    Event("end").with("status", status).with("reason", reason).write();
    if (!stream_is_stderr && std::fclose(stream) != 0) report_write_failure();
    stream = nullptr;
    return !write_failed;
}
