// Systems that do not say who holds a device: the port is still refused,
// only without the holder's name.
#include "serial/tty_refusal.h"

long lock_holder(const struct stat&) { return 0; }

long device_opener(dev_t) { return 0; }

std::string program_name(long) { return {}; }
