// The pseudo-terminal line and the wire model.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "sim/line.h"

bool PtyLine::open_pair() {
    pair_ = open_pty_pair({.raw = true, .rate = 0, .keep_slave = true, .nonblocking_master = true});
    return pair_.master >= 0;
}

void PtyLine::close_pair() {
    close_pty_pair(pair_);
    held_.clear();
}

void PtyLine::write_bytes(const uint8_t* data, std::size_t count) {
    if (pair_.master < 0) return;
    double now = now_seconds();
    if (held_.empty()) held_since_ = now;
    held_.insert(held_.end(), data, data + count);  // behind what waits already
    write_held(now);
}

void PtyLine::write_held(double now) {
    uint8_t chunk[4096];
    while (!held_.empty() && pair_.master >= 0) {
        std::size_t count = std::min(held_.size(), sizeof chunk);
        std::copy_n(held_.begin(), count, chunk);
        ssize_t n = write(pair_.master, chunk, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        held_.erase(held_.begin(), held_.begin() + n);
        held_since_ = now;
    }
    if (now - held_since_ > kHeldSeconds) held_.clear();
}

bool link_to(const std::string& link, const std::string& target) {
    if (link.empty()) return true;
    std::string tmp = link + ".tmp";
    unlink(tmp.c_str());
    if (symlink(target.c_str(), tmp.c_str()) != 0) return false;
    return rename(tmp.c_str(), link.c_str()) == 0;
}

double now_seconds() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double Wire::arrival(uint32_t rate, double now) {
    if (answered_) {  // the program's turn ended: how long it took to speak again
        host_seconds_ += now - last_write_;
        ++turns_;
        answered_ = false;
    }
    rx_free_ = (rx_free_ > now ? rx_free_ : now) + byte_time(rate);
    ++received_;
    return rx_free_;
}

void Wire::queue(const Bytes& bytes, double not_before) {
    double bt = byte_time(line_.rate());
    for (uint8_t b : bytes) tx_.push_back({b, not_before, bt});
}

double Wire::flush(double now) {
    Bytes batch;
    double next = now + 1.0;
    double first_done = 0;
    while (!tx_.empty()) {
        const Pending& item = tx_.front();
        double start = item.not_before > tx_free_ ? item.not_before : tx_free_;
        double done = start + item.byte_time;
        double early = item.byte_time / 2 < kEarlySeconds ? item.byte_time / 2 : kEarlySeconds;
        if (done > now + early) {
            next = done;
            break;
        }
        if (batch.empty()) first_done = done;
        batch.push_back(item.byte);
        tx_free_ = done;
        tx_.pop_front();
    }
    if (!batch.empty()) {
        double late = now - first_done;
        late_seconds_ += late;
        if (late > late_max_seconds_) late_max_seconds_ = late;
        line_.write_bytes(batch);
        sent_ += batch.size();
        last_write_ = now_seconds();
        answered_ = true;
    }
    return next;
}

std::string Wire::stats() const {
    return "rx " + std::to_string(received_) + " tx " + std::to_string(sent_) + " host_us " +
           std::to_string(static_cast<long>(host_seconds_ * 1e6)) + " turns " + std::to_string(turns_) +
           " late_us " + std::to_string(static_cast<long>(late_seconds_ * 1e6)) + " late_max_us " +
           std::to_string(static_cast<long>(late_max_seconds_ * 1e6));
}
