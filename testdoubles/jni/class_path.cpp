#include "class_path.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

uint32_t little(const unsigned char* at, int bytes) {
    uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = value << 8 | at[i];
    return value;
}

std::vector<unsigned char> readWholeFile(const std::string& path) {
    std::vector<unsigned char> data;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return data;
    unsigned char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        data.insert(data.end(), chunk, chunk + got);
    std::fclose(file);
    return data;
}

// Walks the zip central directory: the end record lies within the last 64 KiB + 22 bytes.
bool archiveHolds(const std::string& path, const std::string& entryName) {
    std::vector<unsigned char> data = readWholeFile(path);
    if (data.size() < 22)
        return false;
    size_t end = data.size() - 22;
    const size_t lowest = data.size() > 65557 ? data.size() - 65557 : 0;
    while (little(&data[end], 4) != 0x06054b50) {
        if (end == lowest)
            return false;
        --end;
    }
    const uint32_t entries = little(&data[end + 10], 2);
    size_t at = little(&data[end + 16], 4);
    for (uint32_t i = 0; i < entries; ++i) {
        if (at + 46 > data.size() || little(&data[at], 4) != 0x02014b50)
            return false;
        const size_t nameLength = little(&data[at + 28], 2);
        const size_t extraLength = little(&data[at + 30], 2);
        const size_t commentLength = little(&data[at + 32], 2);
        if (at + 46 + nameLength > data.size())
            return false;
        if (std::string(reinterpret_cast<const char*>(&data[at + 46]), nameLength) == entryName)
            return true;
        at += 46 + nameLength + extraLength + commentLength;
    }
    return false;
}

bool directoryHolds(const std::string& directory, const std::string& entryName) {
    std::string path = directory + "\\" + entryName;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

} // namespace

bool classPathHolds(const std::string& classPath, const std::string& internalName) {
    const std::string entryName = internalName + ".class";
    size_t start = 0;
    while (start <= classPath.size()) {
        size_t end = classPath.find(';', start);
        if (end == std::string::npos)
            end = classPath.size();
        const std::string entry = classPath.substr(start, end - start);
        start = end + 1;
        if (entry.empty())
            continue;
        const DWORD attributes = GetFileAttributesA(entry.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            continue;
        if (attributes & FILE_ATTRIBUTE_DIRECTORY ? directoryHolds(entry, entryName)
                                                  : archiveHolds(entry, entryName))
            return true;
    }
    return false;
}
