// The event stream: each event is one JSON object (nlohmann's, keeping the
// fields in the order given: type and time first) dumped on one line and
// handed to the sink at once, so that a reader of a pipe or a growing file
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

EventSink sink;
bool stream_open = false;
bool write_failed = false;
Clock::time_point opened_at;

void report_write_failure(const std::string& why) {
    if (write_failed) return;
    write_failed = true;
    std::fprintf(stderr, "Cannot write the events file: %s\n", why.c_str());
}

// The dump leaves valid UTF-8 as it is, U+0080-U+009F too, which a terminal
// takes as C1 controls: those are escaped like the C0 ones. In valid UTF-8
// a byte 0xC2 followed by 0x80-0x9F is always one of them.
std::string without_c1_controls(const std::string& dumped) {
    static constexpr char kHexDigits[] = "0123456789abcdef";
    std::string line;
    line.reserve(dumped.size());
    for (std::size_t i = 0; i < dumped.size(); ++i) {
        auto next = i + 1 < dumped.size() ? static_cast<unsigned char>(dumped[i + 1]) : 0;
        if (static_cast<unsigned char>(dumped[i]) == 0xC2 && next >= 0x80 && next <= 0x9F) {
            line += "\\u00";
            line += kHexDigits[next >> 4];
            line += kHexDigits[next & 0xF];
            ++i;
            continue;
        }
        line += dumped[i];
    }
    return line;
}

void write_line(const nlohmann::ordered_json& object) {
    if (!stream_open || write_failed) return;
    std::string line;
    try {
        line = without_c1_controls(
            object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
    } catch (const std::exception&) {
        report_write_failure(std::strerror(EINVAL));
        return;
    }
    line += '\n';
    std::string why;
    if (!sink.write(line, &why)) report_write_failure(why);
}

long long elapsed_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - opened_at).count();
}

}  // namespace

struct Event::Fields {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
};

void events_open(EventSink given) {
    sink = std::move(given);
    stream_open = true;
    opened_at = Clock::now();
}

bool events_on() { return stream_open; }

bool events_intact() { return !write_failed; }

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
    if (!stream_open) return !write_failed;
    Event("end").with("status", status).with("reason", reason).write();
    std::string why;
    if (sink.close && !sink.close(&why)) report_write_failure(why);
    stream_open = false;
    sink = EventSink{};
    return !write_failed;
}
