#include "tar/tar_rules.h"

#include "names/windows_names.h"

#include <cstring>

namespace kestro::tar {
namespace {

constexpr int64_t kSizeLimit = int64_t{1} << 31;

bool isSeparator(char c) {
    return c == '/' || c == '\\';
}

const char* checkComponent(const std::string& component) {
    if (component.find_first_not_of(". ") == std::string::npos)
        return "climbs out of the target directory";
    return names::checkComponent(component);
}

} // namespace

const char* parseSizeField(const char* field, int32_t* size) {
    size_t i = 0;
    while (i < kSizeLength && field[i] == ' ')
        ++i;
    int64_t value = 0;
    for (; i < kSizeLength && field[i] >= '0' && field[i] <= '7'; ++i) {
        value = value * 8 + (field[i] - '0');
        if (value >= kSizeLimit)
            return "out of range";
    }
    for (; i < kSizeLength; ++i)
        if (field[i] != ' ' && field[i] != '\0')
            return "not plain octal";
    *size = static_cast<int32_t>(value);
    return nullptr;
}

const char* EntryNames::admit(const char* field, size_t length, bool directory, std::string* path) {
    const void* end = std::memchr(field, '\0', length);
    if (end == nullptr)
        return "fills its whole name field";
    const std::string name(field, static_cast<const char*>(end));
    if (name.find(':') != std::string::npos)
        return "has a ':' (a drive or a file stream on Windows)";
    for (char c : name)
        if (c < 0x20 || c > 0x7e || std::strchr("*?\"<>|", c) != nullptr)
            return "has a character other than printable ASCII or one Windows forbids in a name";
    if (!name.empty() && isSeparator(name[0]))
        return "is absolute";
    if (!directory && (name.empty() || isSeparator(name.back())))
        return "is a file without a name";
    path->clear();
    size_t start = 0;
    while (start < name.size()) {
        size_t stop = start;
        while (stop < name.size() && !isSeparator(name[stop]))
            ++stop;
        const std::string component = name.substr(start, stop - start);
        start = stop + 1;
        if (component.empty() || component == ".")
            continue;
        if (const char* why = checkComponent(component))
            return why;
        if (!path->empty()) {
            // Each parent is a directory the reader makes, so it must not be a file of an earlier entry.
            if (const char* why = record(*path, true))
                return why;
            *path += '\\';
        }
        *path += component;
    }
    if (path->empty())
        return directory ? nullptr : "is a file without a name";
    return record(*path, directory);
}

const char* EntryNames::record(const std::string& path, bool directory) {
    const std::string key = names::folded(path);
    const auto found = made_.find(key);
    if (found == made_.end()) {
        made_.emplace(key, Made{path, directory});
        return nullptr;
    }
    if (found->second.directory != directory)
        return "is both a file and a directory";
    if (found->second.spelling != path)
        return "differs from an earlier entry only in letter case, which Windows does not tell apart";
    return nullptr;
}

} // namespace kestro::tar
