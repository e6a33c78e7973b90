#include "project/jar_contents.h"

#include <unzip.h>

#include <memory>
#include <sstream>
#include <vector>

namespace kestro::packer {
namespace {

constexpr const char* kManifest = "META-INF/MANIFEST.MF";
constexpr uLong kManifestLimit = 1 << 20;
// Longer names are no class names the packer looks for; they are listed cut, which does no harm.
constexpr size_t kNameCapacity = 4096;

struct ArchiveCloser {
    void operator()(void* archive) const { unzClose(archive); }
};

bool readManifest(unzFile archive, std::string* manifest, std::string* error) {
    if (unzLocateFile(archive, kManifest, 1) != UNZ_OK)
        return true; // no manifest: no Main-Class
    unz_file_info64 info;
    if (unzGetCurrentFileInfo64(archive, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK ||
        info.uncompressed_size > kManifestLimit) {
        *error = std::string(kManifest) + " cannot be read or is larger than a manifest can sensibly be";
        return false;
    }
    manifest->resize(static_cast<size_t>(info.uncompressed_size));
    const bool read =
        unzOpenCurrentFile(archive) == UNZ_OK &&
        unzReadCurrentFile(archive, manifest->data(), static_cast<unsigned>(manifest->size())) ==
            static_cast<int>(manifest->size());
    const bool closed = unzCloseCurrentFile(archive) == UNZ_OK; // also checks the CRC
    if (!read || !closed) {
        *error = std::string("cannot read ") + kManifest + " (damaged?)";
        return false;
    }
    return true;
}

// "com/example/Main.class" for "com.example.Main".
std::string classEntry(const std::string& className) {
    std::string entry = className;
    for (char& c : entry) {
        if (c == '.')
            c = '/';
    }
    return entry + ".class";
}

} // namespace

bool readJar(const std::string& path, JarContents* contents, std::string* error) {
    std::unique_ptr<void, ArchiveCloser> archive(unzOpen64(path.c_str()));
    if (!archive) {
        *error = path + " is not a readable jar: no zip central directory";
        return false;
    }
    std::vector<char> name(kNameCapacity);
    for (int result = unzGoToFirstFile(archive.get()); result != UNZ_END_OF_LIST_OF_FILE;
         result = unzGoToNextFile(archive.get())) {
        unz_file_info64 info;
        if (result != UNZ_OK || unzGetCurrentFileInfo64(archive.get(), &info, name.data(), name.size(),
                                                        nullptr, 0, nullptr, 0) != UNZ_OK) {
            *error = path + " is not a readable jar: its central directory is damaged";
            return false;
        }
        contents->entries.insert(name.data());
    }
    std::string manifest, why;
    if (!readManifest(archive.get(), &manifest, &why)) {
        *error = path + ": " + why;
        return false;
    }
    contents->mainClass = manifestMainClass(manifest);
    return true;
}

bool jarHoldsClass(const JarContents& contents, const std::string& className) {
    const std::string entry = classEntry(className);
    if (contents.entries.count(entry) != 0)
        return true;
    const std::string versions = "META-INF/versions/";
    for (auto it = contents.entries.lower_bound(versions);
         it != contents.entries.end() && it->compare(0, versions.size(), versions) == 0; ++it) {
        const size_t slash = it->find('/', versions.size());
        if (slash != std::string::npos && it->compare(slash + 1, std::string::npos, entry) == 0)
            return true;
    }
    return false;
}

bool classFileVersion(const std::string& path, const std::string& className, int* major) {
    std::unique_ptr<void, ArchiveCloser> archive(unzOpen64(path.c_str()));
    unsigned char head[8];
    if (!archive || unzLocateFile(archive.get(), classEntry(className).c_str(), 1) != UNZ_OK ||
        unzOpenCurrentFile(archive.get()) != UNZ_OK)
        return false;
    const int read = unzReadCurrentFile(archive.get(), head, sizeof head);
    unzCloseCurrentFile(archive.get());
    // u4 magic 0xCAFEBABE, u2 minor version, u2 major version
    if (read != static_cast<int>(sizeof head) || head[0] != 0xCA || head[1] != 0xFE || head[2] != 0xBA ||
        head[3] != 0xBE)
        return false;
    *major = head[6] << 8 | head[7];
    return true;
}

std::string manifestMainClass(const std::string& manifest) {
    std::vector<std::string> lines;
    std::istringstream stream(manifest);
    for (std::string line; std::getline(stream, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            break; // the main section ends at the first blank line
        if (line[0] == ' ' && !lines.empty())
            lines.back() += line.substr(1);
        else
            lines.push_back(line);
    }
    const std::string name = "main-class:";
    for (const std::string& line : lines) {
        if (line.size() < name.size())
            continue;
        std::string head = line.substr(0, name.size());
        for (char& c : head)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (head != name)
            continue;
        const size_t start = line.find_first_not_of(' ', name.size());
        return start == std::string::npos ? std::string() : line.substr(start);
    }
    return "";
}

} // namespace kestro::packer
