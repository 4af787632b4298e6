// tamborvine-sim: a simulated target on a pseudo-terminal.
//
// It opens a pseudo-terminal pair, prints the slave's path as its first line
// on standard output (and links it where --link says), and plays the target
// on the master side. Standard input takes commands, one per line, so that
// tests and users can drive it; standard output reports what arrives.
//
// Commands (standard input):
//   send HEX...        write these bytes to the line (e.g. "send 48 65 0d")
//   text STRING        write the string; C escapes \r \n \t \e \\ \xHH
//   rate               print "rate N": the rate the program set on the line
//   hangup             close the master side, as an unplugged adapter
//   replug             a new pseudo-terminal: prints its path, moves the link
//   quit               end
// Reports (standard output, one line each, flushed):
//   rx RATE HEX...     bytes that arrived, with the line rate in force
#include "sim/sim.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void usage() {
    std::fprintf(stderr,
                 "usage: tamborvine-sim [--link PATH] [--record FILE] [--echo]\n"
                 "  --link PATH    make PATH a symbolic link to the slave side\n"
                 "  --record FILE  append what arrives to FILE (lines: RATE HEX...)\n"
                 "  --echo         send back every byte that arrives\n");
}

}  // namespace

int main(int argc, char** argv) {
    SimOptions options;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--link" && i + 1 < argc) {
            options.link_path = argv[++i];
        } else if (a == "--record" && i + 1 < argc) {
            options.record_path = argv[++i];
        } else if (a == "--echo") {
            options.echo = true;
        } else if (a == "-h" || a == "--help") {
            usage();
            return 0;
        } else {
            usage();
            return 2;
        }
    }
    return run_sim(options);
}
