#include "app/app.h"

int main(int argc, char** argv) { return tamborvine_main(argc, argv); }
