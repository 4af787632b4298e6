// The configuration file's sections, checked whole and merged for one run.
// TOML rather than a looser INI: one parser on every platform (toml++ is
// header-only and builds for Windows as it is), typed values, and every
// error with its line.
#include "app/profiles.h"

#include <toml++/toml.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>

#include "base/fatal.h"
#include "base/files.h"
#include "ports/ports.h"

namespace {

constexpr std::string_view kDefaultSection = "default";
constexpr std::string_view kPatternKey = "pattern";
constexpr std::string_view kPortKey = "port";

struct ConfigFile {
    std::string path;
    toml::table root;
};

std::string where(const std::string& path, const toml::source_region& at) {
    return path + ":" + std::to_string(at.begin.line) + ": ";
}

[[noreturn]] void refuse(const std::string& where, const std::string& what) {
    report_error((where + what).c_str());
}

// The file parsed; nullopt when there is none. One this user may not read
// (a home that is another user's, under sudo) counts as none unless a
// profile from it was asked for.
std::optional<ConfigFile> read_config(const std::string& path, const char* profile) {
    if (path.empty()) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        int error = errno;
        if (error == ENOENT || error == ENOTDIR || (error == EACCES && profile == nullptr))
            return std::nullopt;
        refuse(path + ": ", std::strerror(error));
    }
    try {
        return ConfigFile{path, toml::parse(in, path)};
    } catch (const toml::parse_error& error) {
        refuse(where(path, error.source()), std::string(error.description()));
    }
}

// A value as the option's word.
std::string value_text(const toml::node& node) {
    if (const auto* text = node.as_string()) return text->get();
    std::ostringstream out;
    if (const auto* number = node.as_integer()) out << number->get();
    if (const auto* number = node.as_floating_point()) out << number->get();
    if (const auto* flag = node.as_boolean()) out << (flag->get() ? "true" : "false");
    return out.str();
}

void check_value(const ConfigFile& file, std::string_view key, const toml::node& node, ProfileKey kind) {
    std::string at = where(file.path, node.source());
    std::string name(key);
    switch (kind) {
        case ProfileKey::unknown: refuse(at, "unknown key \"" + name + "\""); break;
        case ProfileKey::not_settable: refuse(at, name + " cannot be set in a profile"); break;
        case ProfileKey::flag:
            if (!node.is_boolean()) refuse(at, name + " takes true or false");
            break;
        case ProfileKey::value:
            if (!node.is_string() && !node.is_integer() && !node.is_floating_point())
                refuse(at, name + " takes a string or a number");
            break;
    }
}

// Every section and key, whether this run uses it or not: a mistake is
// found the first time the file is read.
void check_file(const ConfigFile& file, ProfileKey (*kind_of)(std::string_view)) {
    for (auto&& [name, node] : file.root) {
        const toml::table* section = node.as_table();
        if (section == nullptr) {  // a default, before any section
            check_value(file, name.str(), node, kind_of(name.str()));
            continue;
        }
        for (auto&& [key, value] : *section) {
            if (key.str() == kPatternKey) {
                if (!value.is_string()) refuse(where(file.path, value.source()), "pattern takes a string");
                continue;
            }
            check_value(file, key.str(), value, kind_of(key.str()));
        }
    }
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

bool pattern_matches(const ConfigFile& file, const toml::node& pattern,
                     const std::vector<std::string>& names) {
    try {
        std::regex rx(value_text(pattern), std::regex::extended);
        return std::any_of(names.begin(), names.end(),
                           [&rx](const std::string& name) { return std::regex_search(name, rx); });
    } catch (const std::regex_error& error) {
        refuse(where(file.path, pattern.source()), std::string("pattern: ") + error.what());
    }
}

// The first section, in the file's order, whose pattern a name of the port
// matches.
const toml::table* matching_section(const ConfigFile& file, const std::string& port) {
    std::vector<const toml::table*> with_pattern;
    for (auto&& [name, node] : file.root)
        if (node.is_table() && node.as_table()->contains(kPatternKey))
            with_pattern.push_back(node.as_table());
    if (with_pattern.empty()) return nullptr;
    std::sort(with_pattern.begin(), with_pattern.end(), [](const toml::table* a, const toml::table* b) {
        return a->source().begin.line < b->source().begin.line;
    });
    std::vector<std::string> names = names_of_port(port);
    for (const toml::table* section : with_pattern)
        if (pattern_matches(file, *section->get(kPatternKey), names)) return section;
    return nullptr;
}

// A section's keys; the file's top level gives those outside every section.
void merge(const ConfigFile& file, const toml::table* section, std::vector<ProfileSetting>* settings) {
    if (section == nullptr) return;
    for (auto&& [key, node] : *section) {
        if (key.str() == kPatternKey || node.is_table()) continue;
        ProfileSetting setting{std::string(key.str()), value_text(node), where(file.path, node.source())};
        auto same = [&setting](const ProfileSetting& s) { return s.key == setting.key; };
        auto earlier = std::find_if(settings->begin(), settings->end(), same);
        if (earlier != settings->end())
            *earlier = setting;
        else
            settings->push_back(setting);
    }
}

const toml::table* named_section(const std::optional<ConfigFile>& file, const char* profile) {
    if (profile == nullptr) return nullptr;
    std::string path = user_config_file();
    if (!file) report_error_format("No profile %s: there is no configuration file %s", profile, path.c_str());
    const toml::table* section = file->root[profile].as_table();
    if (section == nullptr) refuse(file->path + ": ", std::string("no section [") + profile + "]");
    return section;
}

}  // namespace

std::vector<ProfileSetting> profile_settings(const char* profile, const char* port_given,
                                             const char* default_port,
                                             ProfileKey (*kind_of)(std::string_view key)) {
    std::optional<ConfigFile> file = read_config(user_config_file(), profile);
    const toml::table* named = named_section(file, profile);
    if (!file) return {};
    check_file(*file, kind_of);
    std::string port = port_given != nullptr ? port_given : default_port;
    if (port_given == nullptr && named != nullptr && named->contains(kPortKey))
        port = value_text(*named->get(kPortKey));
    std::vector<ProfileSetting> settings;
    merge(*file, &file->root, &settings);
    merge(*file, file->root[kDefaultSection].as_table(), &settings);
    merge(*file, matching_section(*file, port), &settings);
    merge(*file, named, &settings);
    return settings;
}
