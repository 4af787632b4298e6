// Profiles: named sections of the user's configuration file
// (base/files.h: user_config_file), each holding long options, the port and
// the rates, applied under the command line. The file is INI (app/ini.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// What a key of a section may be.
enum class ProfileKey : uint8_t {
    unknown,
    flag,          // true or false (yes or no, on or off, 1 or 0)
    value,         // a word, taken as the option takes it
    not_settable,  // an action of the command line (--help, --list-ports, --profile)
};

struct ProfileSetting {
    std::string key;
    std::string value;  // the option's word; "true" or "false" for a flag
    std::string where;  // "FILE:LINE: ", for a message about the value
};

// The settings the configuration file gives a run: those before every
// section and those of [default], of
// the first section (in the file's order) whose pattern (an extended
// regular expression) is found in a name of the port, and of the section
// that profile names (nullptr for none), a later section's key replacing
// an earlier one's. The port's names are the one given (port_given, else
// the named section's "port", else default_port) and, for a device this
// machine lists, its usb: identity. No file gives none, unless a profile
// was named. A file that does not read or parse, an unknown key, a value
// of the wrong kind or a missing profile stops the run with the file, the
// line and what is wrong.
std::vector<ProfileSetting> profile_settings(const char* profile, const char* port_given,
                                             const char* default_port,
                                             ProfileKey (*kind_of)(std::string_view key));
