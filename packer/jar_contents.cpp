#include "jar_contents.h"

#include <zip.h>

#include <memory>
#include <sstream>
#include <vector>

namespace kestro::packer {
namespace {

constexpr const char* kManifest = "META-INF/MANIFEST.MF";
constexpr zip_uint64_t kManifestLimit = 1 << 20;

struct ArchiveCloser {
    void operator()(zip_t* archive) const { zip_discard(archive); }
};
struct EntryCloser {
    void operator()(zip_file_t* file) const { zip_fclose(file); }
};

bool readManifest(zip_t* archive, std::string* manifest, std::string* error) {
    zip_stat_t stat;
    if (zip_stat(archive, kManifest, 0, &stat) != 0)
        return true; // no manifest: no Main-Class
    if ((stat.valid & ZIP_STAT_SIZE) == 0 || stat.size > kManifestLimit) {
        *error = std::string(kManifest) + " is larger than a manifest can sensibly be";
        return false;
    }
    std::unique_ptr<zip_file_t, EntryCloser> file(zip_fopen(archive, kManifest, 0));
    if (!file) {
        *error = std::string("cannot read ") + kManifest + ": " + zip_strerror(archive);
        return false;
    }
    manifest->resize(static_cast<size_t>(stat.size));
    if (zip_fread(file.get(), manifest->data(), stat.size) != static_cast<zip_int64_t>(stat.size)) {
        *error = std::string("cannot read ") + kManifest + ": " + zip_file_strerror(file.get());
        return false;
    }
    return true;
}

} // namespace

bool readJar(const std::string& path, JarContents* contents, std::string* error) {
    int code = 0;
    std::unique_ptr<zip_t, ArchiveCloser> archive(zip_open(path.c_str(), ZIP_RDONLY, &code));
    if (!archive) {
        zip_error_t failure;
        zip_error_init_with_code(&failure, code);
        *error = path + " is not a readable jar: " + zip_error_strerror(&failure);
        zip_error_fini(&failure);
        return false;
    }
    const zip_int64_t count = zip_get_num_entries(archive.get(), 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        if (const char* name = zip_get_name(archive.get(), static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW))
            contents->entries.insert(name);
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
    std::string entry = className;
    for (char& c : entry) {
        if (c == '.')
            c = '/';
    }
    entry += ".class";
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
