// Run events: a machine-readable account of the run for scripts and CI, one
// JSON object a line, each line written and flushed as it happens. Nothing
// is written until events_open; until then every call is cheap and does
// nothing, so the layers that report events need not ask first.
#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

// Where the lines go, opened by the caller (this layer is below the files):
// write sends all of one line or fails, saying why in *why; close, when
// given, ends the stream the same way. A write that can wait without bound
// holds the whole run as long, so the caller gives one that cannot.
struct EventSink {
    std::function<bool(std::string_view line, std::string* why)> write;
    std::function<bool(std::string* why)> close;
};

// Opens the stream for the rest of the run.
void events_open(EventSink sink);

// True while a stream is open.
bool events_on();

// False once an event of the run could not be written in full.
bool events_intact();

// One event being put together; write() sends it as one line with its type
// ("event") and the milliseconds since the stream was opened ("t_ms") ahead
// of the fields given. An event never written is dropped. Texts that are
// not UTF-8 have their stray bytes replaced (U+FFFD); control characters,
// C1 ones (U+0080-U+009F) included, are escaped, so no byte of the line
// can act on a terminal.
class Event {
   public:
    explicit Event(std::string_view type);
    Event(Event&&) noexcept;
    Event& operator=(Event&&) noexcept;
    ~Event();

    // A nested object: fields only, no type and no time.
    static Event object();

    Event& with(std::string_view key, std::string_view text);
    Event& with(std::string_view key, const char* text);  // nullptr: null
    Event& with(std::string_view key, bool value);
    Event& with(std::string_view key, double value);
    template <std::integral T>
    requires(!std::same_as<T, bool>) Event& with(std::string_view key, T value) {
        if constexpr (std::is_signed_v<T>)
            return with_signed(key, static_cast<int64_t>(value));
        else
            return with_unsigned(key, static_cast<uint64_t>(value));
    }
    Event& with(std::string_view key, Event&& nested);

    // Appends to the list named key (made on first use).
    Event& add(std::string_view key, Event&& item);
    Event& add(std::string_view key, std::string_view text);

    void write();

   private:
    struct Fields;
    Event() = default;
    Event& with_signed(std::string_view key, int64_t value);
    Event& with_unsigned(std::string_view key, uint64_t value);
    std::unique_ptr<Fields> fields_;  // null while events are off
};

// The last event of the run: "end" with the exit status and the reason,
// written at most once, however the run ends; then the stream is closed.
// Returns false when any event of the run could not be written in full
// (said once on standard error when it happened).
bool events_end(int status, std::string_view reason);
