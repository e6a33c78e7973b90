// The runtime cache's manifest, the same on every system.
#include "jreprovision/runtime_cache.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char kManifestHeader[] = "kestro runtime entry 1 ";

// ASCII letters compared without regard to case, as hex digits are.
bool sameLetters(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b)
        if (tolower(static_cast<unsigned char>(*a)) != tolower(static_cast<unsigned char>(*b)))
            return false;
    return *a == *b;
}

} // namespace

std::string manifestText(const char* digest, const ManifestFile* files, size_t count) {
    std::string text = std::string(kManifestHeader) + digest + "\n";
    for (size_t i = 0; i < count; ++i)
        text += std::to_string(files[i].size) + " " + files[i].path + "\n";
    return text;
}

bool readManifest(const std::string& text, const char* digest,
                  bool (*visit)(const ManifestFile& file, void* context), void* context) {
    const size_t headerEnd = text.find('\n');
    const std::string header = text.substr(0, headerEnd);
    const size_t prefix = sizeof kManifestHeader - 1;
    if (headerEnd == std::string::npos || header.compare(0, prefix, kManifestHeader) != 0 ||
        header.size() != prefix + strlen(digest) || !sameLetters(header.c_str() + prefix, digest))
        return false;
    for (size_t start = headerEnd + 1; start < text.size();) {
        const size_t end = text.find('\n', start);
        if (end == std::string::npos)
            return false; // cut off
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        char* pathStart = nullptr;
        const long long size = strtoll(line.c_str(), &pathStart, 10);
        if (pathStart == line.c_str() || *pathStart != ' ' || pathStart[1] == '\0' || size < 0)
            return false;
        if (!visit(ManifestFile{pathStart + 1, size}, context))
            return false;
    }
    return true;
}
