// The configuration file's sections, checked whole and merged for one run.
// INI, the form tio's users keep their profiles in, read by app/ini.h.
#include "app/profiles.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>

#include "app/ini.h"
#include "base/fatal.h"
#include "base/files.h"
#include "ports/ports.h"

namespace {

constexpr std::string_view kDefaultSection = "default";
constexpr std::string_view kPatternKey = "pattern";
constexpr std::string_view kPortKey = "port";

struct Value {
    std::string text;  // a flag's as "true" or "false"
    int line = 0;
};

struct Section {
    std::string name;  // "": the keys before the first section
    std::vector<std::pair<std::string, Value>> keys;
    std::optional<Value> pattern;

    // The key's value; the last one when the section gives it twice.
    const Value* find(std::string_view key) const {
        auto last = std::find_if(keys.rbegin(), keys.rend(), [key](const auto& k) { return k.first == key; });
        return last == keys.rend() ? nullptr : &last->second;
    }
};

struct ConfigFile {
    std::string path;
    std::vector<Section> sections;  // in the order of their first line

    std::string where(int line) const { return path + ":" + std::to_string(line) + ": "; }
    const Section* find(std::string_view name) const {
        for (const Section& section : sections)
            if (section.name == name) return &section;
        return nullptr;
    }
};

[[noreturn]] void refuse(const std::string& where, const std::string& what) {
    report_error((where + what).c_str());
}

// The file's text; nullopt when there is none. One this user may not read
// (a home that is another user's, under sudo) counts as none unless a
// profile from it was asked for.
std::optional<std::string> read_text(const std::string& path, const char* profile) {
    if (path.empty()) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        int error = errno;
        if (error == ENOENT || error == ENOTDIR || (error == EACCES && profile == nullptr))
            return std::nullopt;
        refuse(path + ": ", std::strerror(error));
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The spellings of a flag's value, as INI files write them.
std::optional<bool> flag_value(std::string_view text) {
    constexpr std::string_view kTrue[] = {"true", "yes", "on", "1"};
    constexpr std::string_view kFalse[] = {"false", "no", "off", "0"};
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (std::find(std::begin(kTrue), std::end(kTrue), lower) != std::end(kTrue)) return true;
    if (std::find(std::begin(kFalse), std::end(kFalse), lower) != std::end(kFalse)) return false;
    return std::nullopt;
}

// A value without the double quotes a user may put around it.
std::string_view unquoted(std::string_view value) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        return value.substr(1, value.size() - 2);
    return value;
}

// What is wrong with a key and its value, or ""; a flag's value becomes
// "true" or "false".
std::string check_value(std::string_view key, std::string* value, ProfileKey kind) {
    std::string name(key);
    switch (kind) {
        case ProfileKey::unknown: return "unknown key \"" + name + "\"";
        case ProfileKey::not_settable: return name + " cannot be set in a profile";
        case ProfileKey::flag: {
            std::optional<bool> flag = flag_value(*value);
            if (!flag) return name + " takes true or false (yes or no, on or off, 1 or 0)";
            *value = *flag ? "true" : "false";
            return {};
        }
        case ProfileKey::value:
            if (value->empty()) return name + " takes a value";
            return {};
    }
    return {};
}

std::string check_pattern(const std::string& pattern) {
    try {
        std::regex rx(pattern, std::regex::extended);
        return {};
    } catch (const std::regex_error& error) {
        return std::string("pattern: ") + error.what();
    }
}

// Files a key under its section, the section made at its first key.
std::string take_entry(ConfigFile* file, const IniEntry& entry, ProfileKey (*kind_of)(std::string_view)) {
    std::string value(unquoted(entry.value));
    bool is_pattern = entry.key == kPatternKey && !entry.section.empty();
    std::string what = is_pattern ? check_pattern(value) : check_value(entry.key, &value, kind_of(entry.key));
    if (!what.empty()) return what;
    auto& sections = file->sections;
    auto section = std::find_if(sections.begin(), sections.end(),
                                [&entry](const Section& s) { return s.name == entry.section; });
    if (section == sections.end())
        section = sections.insert(sections.end(), Section{std::string(entry.section), {}, {}});
    if (is_pattern)
        section->pattern = Value{value, entry.line};
    else
        section->keys.emplace_back(std::string(entry.key), Value{value, entry.line});
    return {};
}

// The file parsed and every section and key checked, whether this run uses
// it or not: a mistake is found the first time the file is read.
std::optional<ConfigFile> read_config(const std::string& path, const char* profile,
                                      ProfileKey (*kind_of)(std::string_view)) {
    std::optional<std::string> text = read_text(path, profile);
    if (!text) return std::nullopt;
    ConfigFile file{path, {}};
    IniError error = read_ini(
        *text, [&file, kind_of](const IniEntry& entry) { return take_entry(&file, entry, kind_of); });
    if (error.line != 0) refuse(file.where(error.line), error.what);
    return file;
}

std::string usb_name(const PortInfo& port) {
    char ids[32];
    std::snprintf(ids, sizeof ids, "usb:%04x:%04x", port.vendor_id, port.product_id);
    return port.serial_number.empty() ? ids : std::string(ids) + ":" + port.serial_number;
}

// The port as given and, for a device the machine lists, its usb: identity.
std::vector<std::string> names_of_port(const std::string& port) {
    std::vector<std::string> names{port};
    for (const PortInfo& info : list_ports())
        if (info.usb && (info.device == port || info.by_id == port)) names.push_back(usb_name(info));
    return names;
}

bool pattern_matches(const Value& pattern, const std::vector<std::string>& names) {
    std::regex rx(pattern.text, std::regex::extended);  // checked as the file was read
    return std::any_of(names.begin(), names.end(),
                       [&rx](const std::string& name) { return std::regex_search(name, rx); });
}

// The first section, in the file's order, whose pattern a name of the port
// matches.
const Section* matching_section(const ConfigFile& file, const std::string& port) {
    auto has_pattern = [](const Section& s) { return s.pattern.has_value(); };
    if (std::none_of(file.sections.begin(), file.sections.end(), has_pattern)) return nullptr;
    std::vector<std::string> names = names_of_port(port);
    for (const Section& section : file.sections)
        if (section.pattern && pattern_matches(*section.pattern, names)) return &section;
    return nullptr;
}

// A section's keys over those merged before, a later one replacing an
// earlier one of the same name.
void merge(const ConfigFile& file, const Section* section, std::vector<ProfileSetting>* settings) {
    if (section == nullptr) return;
    for (const auto& [key, value] : section->keys) {
        ProfileSetting setting{key, value.text, file.where(value.line)};
        auto same = [&setting](const ProfileSetting& s) { return s.key == setting.key; };
        auto earlier = std::find_if(settings->begin(), settings->end(), same);
        if (earlier != settings->end())
            *earlier = setting;
        else
            settings->push_back(setting);
    }
}

const Section* named_section(const std::optional<ConfigFile>& file, const char* profile) {
    if (profile == nullptr) return nullptr;
    std::string path = user_config_file();
    if (!file) report_error_format("No profile %s: there is no configuration file %s", profile, path.c_str());
    const Section* section = file->find(profile);
    if (section == nullptr)
        refuse(file->path + ": ", std::string("no section [") + profile + "] with a setting");
    return section;
}

}  // namespace

std::vector<ProfileSetting> profile_settings(const char* profile, const char* port_given,
                                             const char* default_port,
                                             ProfileKey (*kind_of)(std::string_view key)) {
    std::optional<ConfigFile> file = read_config(user_config_file(), profile, kind_of);
    const Section* named = named_section(file, profile);
    if (!file) return {};
    std::string port = port_given != nullptr ? port_given : default_port;
    const Value* named_port = named != nullptr ? named->find(kPortKey) : nullptr;
    if (port_given == nullptr && named_port != nullptr) port = named_port->text;
    std::vector<ProfileSetting> settings;
    merge(*file, file->find(""), &settings);
    merge(*file, file->find(kDefaultSection), &settings);
    merge(*file, matching_section(*file, port), &settings);
    merge(*file, named, &settings);
    return settings;
}
