// Decoded key codes waiting for read_key, oldest first. Shared by both
// platforms' consoles; only the console folder includes this header.
#pragma once

#include <array>
#include <cstddef>

class KeyQueue {
   public:
    static constexpr std::size_t kCapacity = 64;

    // Adds a code at the end. A full queue (a key storm beyond 64 waiting
    // codes) drops the new code and keeps those waiting; false then.
    bool push(int code) {
        if (full()) return false;
        codes_[(head_ + count_) % codes_.size()] = code;
        ++count_;
        return true;
    }

    // The oldest code, removed; -1 when none waits.
    int pop() {
        if (empty()) return -1;
        int code = codes_[head_];
        head_ = (head_ + 1) % codes_.size();
        --count_;
        return code;
    }

    bool empty() const { return count_ == 0; }
    bool full() const { return count_ == codes_.size(); }
    std::size_t size() const { return count_; }

   private:
    std::array<int, kCapacity> codes_{};
    std::size_t head_ = 0;
    std::size_t count_ = 0;
};
