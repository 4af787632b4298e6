// The file-name prompt's input, shared by both platforms' consoles: the
// bytes of the answer not used yet (typed ahead of the prompt, or read
// beyond its word), kept from one prompt to the next, and the scanner that
// takes a word from them. Only the console folder includes this header.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>

#include "base/text.h"

class PromptInput {
   public:
    static constexpr std::size_t kCapacity = 512;
    static constexpr std::size_t kNoLineEnd = static_cast<std::size_t>(-1);

    const char* data() const { return bytes_.data(); }
    std::size_t size() const { return count_; }
    std::size_t room() const { return bytes_.size() - count_; }

    // Appends up to room() bytes; returns how many were taken.
    std::size_t add(const char* bytes, std::size_t count) {
        if (count > room()) count = room();
        std::memcpy(bytes_.data() + count_, bytes, count);
        count_ += count;
        return count;
    }

    // For reading straight in: room() bytes free at free_space(), then
    // added() with the number read.
    char* free_space() { return bytes_.data() + count_; }
    void added(std::size_t count) { count_ += count <= room() ? count : room(); }

    // Keeps the first count bytes, drops the rest.
    void keep(std::size_t count) {
        if (count < count_) count_ = count;
    }

    // The result of take_word: the word's length, or -1 when input ended
    // before a word began; and how many bytes it used up, blanks included.
    struct Word {
        int length;
        std::size_t used;
    };

    // Takes the first word: leading blanks skipped, the word ends at a blank
    // or after max_chars characters; what follows it stays held. When the held bytes run out, more() is asked
    // to add some; it returns false when input has ended. Stores the word and a NUL into buffer, which holds
    // more than max_chars bytes.
    template <typename More>
    Word take_word(char* buffer, std::size_t max_chars, More&& more) {
        std::size_t stored = 0;
        std::size_t used = 0;
        bool in_word = false;
        for (;;) {
            if (count_ == 0 && !more()) break;
            char c = bytes_[0];
            if (is_blank(c) && in_word) break;
            if (!is_blank(c) && stored == max_chars) {  // no room: the rest of the word waits
                in_word = true;
                break;
            }
            drop_front(1);
            ++used;
            if (is_blank(c)) continue;
            in_word = true;
            buffer[stored++] = c;
        }
        buffer[stored] = '\0';
        return Word{in_word ? static_cast<int>(stored) : -1, used};
    }

    // Drops the held bytes through the first line end (see line_end), asking
    // more() for bytes while no line end has come; returns how many bytes
    // were dropped. Whatever follows the line end stays held.
    template <typename More>
    std::size_t drop_line(bool cr_ends_line, More&& more) {
        std::size_t dropped = 0;
        for (;;) {
            std::size_t end = line_end(cr_ends_line);
            if (end != kNoLineEnd) {
                drop_front(end);
                return dropped + end;
            }
            dropped += count_;
            count_ = 0;
            if (!more()) return dropped;
        }
    }

    // The offset just past the first line end among the held bytes: a line
    // feed, or with cr_ends_line a carriage return too (CR LF counting as
    // one line end). kNoLineEnd when no line has ended yet.
    std::size_t line_end(bool cr_ends_line) const {
        for (std::size_t i = 0; i < count_; ++i) {
            if (bytes_[i] == '\n') return i + 1;
            if (bytes_[i] != '\r' || !cr_ends_line) continue;
            return i + 1 < count_ && bytes_[i + 1] == '\n' ? i + 2 : i + 1;
        }
        return kNoLineEnd;
    }

   private:
    void drop_front(std::size_t count) {
        std::memmove(bytes_.data(), bytes_.data() + count, count_ - count);
        count_ -= count;
    }

    std::array<char, kCapacity> bytes_{};
    std::size_t count_ = 0;
};
