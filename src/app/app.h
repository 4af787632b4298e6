// The program's entry: start-up, the command line, the port, the downloads
// and the terminal, in that order.
#pragma once

int tamborvine_main(int argc, char** argv);
