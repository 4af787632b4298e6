// The simulated target's pieces: the pseudo-terminal line and the event loop.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct SimOptions {
    std::string link_path;
    std::string record_path;
    bool echo = false;
};

// The line as the target sees it: the master side of a pseudo-terminal
// pair. The simulator keeps a slave descriptor of its own open so the line
// outlives the program's re-opens.
class PtyLine {
public:
    bool open_pair();
    void close_pair();
    int master() const { return master_fd_; }
    const std::string& slave_path() const { return slave_path_; }
    // The rate the program set on its side (the master reports the slave's
    // settings), 0 when unknown.
    uint32_t rate() const;
    void write_bytes(const uint8_t* data, std::size_t count);
    void write_bytes(const std::vector<uint8_t>& data) { write_bytes(data.data(), data.size()); }

private:
    int master_fd_ = -1;
    int slave_fd_ = -1;
    std::string slave_path_;
};

int run_sim(const SimOptions& options);
