// tamborvine-sim: a simulated target on a pseudo-terminal.
//
// It opens a pseudo-terminal pair, prints the slave's path as its first line
// on standard output (and links it where --link says), and plays the target
// on the master side. With --rfc2217 the same line is served to one network
// client at a time. Standard input takes commands, one per line, so that
// tests and users can drive it; standard output reports what arrives (see
// sim_loop.cpp for both).
#include <cstdio>
#include <string>

#include "sim/sim.h"

int main(int argc, char** argv) {
    SimOptions options;
    std::string bad;
    switch (parse_sim_options(argc, argv, options, bad)) {
        case ParseOutcome::help: print_sim_usage(stdout); return 0;
        case ParseOutcome::bad:
            std::fprintf(stderr, "tamborvine-sim: bad option %s\n", bad.c_str());
            print_sim_usage(stderr);
            return 2;
        case ParseOutcome::run: break;
    }
    return run_sim(options);
}
