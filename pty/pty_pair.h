// Pseudo-terminal pairs: the line of the simulated target and of the
// emulated chip (their master side plays the target, a host opens the
// slave), and the ports and keyboards of the unit tests.
#pragma once

#include <cstdint>
#include <string>

struct PtyPair {
    int master = -1;  // -1 when the pair could not be opened (errno says why)
    int slave = -1;   // open only with PtySettings::keep_slave
    std::string slave_path;
};

struct PtySettings {
    // The slave's line raw until a host configures it: 8 data bits, no
    // parity, receiver on, modem lines ignored, no translation or echo.
    bool raw = false;
    uint32_t rate = 0;  // with raw: the line's rate, 0 leaves the kernel's
    // Keep a descriptor of the slave open, so that the line outlives a
    // host's close (what the master writes meanwhile waits for the next
    // host); otherwise the slave is closed again and, while no host holds
    // it, what the master writes is lost.
    bool keep_slave = false;
    bool nonblocking_master = false;
};

PtyPair open_pty_pair(const PtySettings& settings = {});
void close_pty_pair(PtyPair& pair);

// The rate a host set on the slave side, as the master reports it; any
// rate, 1,000,000 baud as well as the standard ones. 0 when unknown.
uint32_t pty_rate(int master);
