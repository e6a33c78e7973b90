#include "pack.h"

#include "text_encoding.h"

#include "payload/payload_format.h"
#include "runtime_bundle.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace kestro::packer {
namespace {

constexpr size_t kCopyChunk = 1 << 16;
// The launcher reads the name list into 8192 bytes, terminator included.
constexpr size_t kNameListCapacity = 8192;

std::string systemError() {
    return std::strerror(errno);
}

bool readWholeFile(const std::string& path, std::string* contents, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot open " + path + ": " + systemError();
        return false;
    }
    contents->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        *error = "cannot read " + path;
        return false;
    }
    return true;
}

std::string asciiLower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// Windows opens a device, not a file, for these names, with or without an extension.
bool isDeviceName(const std::string& name) {
    const std::string stem = asciiLower(name.substr(0, name.find('.')));
    static const std::set<std::string> devices = {
        "con",  "prn",  "aux",  "nul",  "com1", "com2", "com3", "com4", "com5", "com6", "com7",
        "com8", "com9", "lpt1", "lpt2", "lpt3", "lpt4", "lpt5", "lpt6", "lpt7", "lpt8", "lpt9"};
    return devices.count(stem) != 0;
}

bool checkFileNames(const std::vector<IncludedFile>& files, std::string* names, std::string* error) {
    std::set<std::string> seen; // Windows file names ignore case
    names->clear();
    for (const IncludedFile& file : files) {
        std::string why;
        if (!validateIncludedFileName(file.name, &why)) {
            *error = "included file " + file.sourcePath + ": " + why;
            return false;
        }
        if (!seen.insert(asciiLower(file.name)).second) {
            *error = "included file " + file.sourcePath + ": the name \"" + shownInMessage(file.name) +
                     "\" is used twice";
            return false;
        }
        *names += file.name + ";";
    }
    if (names->size() >= kNameListCapacity) {
        *error = "the names of the included files are " + std::to_string(names->size()) +
                 " bytes together; a launcher reads at most " + std::to_string(kNameListCapacity - 1);
        return false;
    }
    return true;
}

std::vector<IncludedFile> filesToInclude(const PackRequest& request) {
    std::vector<IncludedFile> files = request.files;
    if (!request.runtimeJarPath.empty())
        files.push_back(IncludedFile{kRuntimeJarName, request.runtimeJarPath});
    return files;
}

payload::PayloadTables withFileRecords(const PackRequest& request, size_t fileCount,
                                       const std::string& names) {
    payload::PayloadTables tables;
    for (const auto& record : request.tables.config) {
        if (record.first != payload::config::IncludedFileCount &&
            record.first != payload::config::IncludedFileNames)
            tables.config.push_back(record);
    }
    tables.config.emplace_back(payload::config::IncludedFileCount, std::to_string(fileCount));
    tables.config.emplace_back(payload::config::IncludedFileNames, names);
    tables.messages = request.tables.messages;
    return tables;
}

// Streams one included file in chunks, so that files of any size pass without being held in memory.
bool writeIncludedFile(std::ofstream& out, const IncludedFile& file, std::string* error) {
    std::ifstream in(file.sourcePath, std::ios::binary | std::ios::ate);
    if (!in) {
        *error = "included file " + file.sourcePath + " cannot be opened: " + systemError();
        return false;
    }
    const auto size = static_cast<int64_t>(in.tellg());
    in.seekg(0);
    std::string sizeField;
    payload::appendInt64(sizeField, size);
    out.write(sizeField.data(), static_cast<std::streamsize>(sizeField.size()));

    std::vector<char> chunk(kCopyChunk);
    int64_t remaining = size;
    while (remaining > 0) {
        const auto wanted = static_cast<std::streamsize>(std::min<int64_t>(remaining, kCopyChunk));
        in.read(chunk.data(), wanted);
        if (in.gcount() != wanted) {
            *error = "included file " + file.sourcePath + " could not be read completely (did it change?)";
            return false;
        }
        payload::scrambleBytes(reinterpret_cast<uint8_t*>(chunk.data()), static_cast<size_t>(wanted));
        out.write(chunk.data(), wanted);
        remaining -= wanted;
    }
    return true;
}

std::string directoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Creates an empty temporary file beside outputPath, so that the final rename stays in one file system.
bool createTemporaryBeside(const std::string& outputPath, std::string* temporaryPath, std::string* error) {
    std::string pattern = directoryOf(outputPath) + "/.kestro-pack-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    int fd = mkstemp(buffer.data());
    if (fd < 0) {
        *error = "cannot create a temporary file in " + directoryOf(outputPath) + ": " + systemError();
        return false;
    }
    // mkstemp creates the file for its owner only; a finished launcher is an ordinary executable.
    fchmod(fd, 0755);
    close(fd);
    *temporaryPath = buffer.data();
    return true;
}

bool writeLauncher(const std::string& path, const std::string& stubPrefix, const std::string& tables,
                   const std::vector<IncludedFile>& files, const std::string& trailingData,
                   std::string* error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        *error = "cannot write " + path + ": " + systemError();
        return false;
    }
    out.write(stubPrefix.data(), static_cast<std::streamsize>(stubPrefix.size()));
    out.write(tables.data(), static_cast<std::streamsize>(tables.size()));
    for (const IncludedFile& file : files) {
        if (!writeIncludedFile(out, file, error))
            return false;
    }
    out.write(trailingData.data(), static_cast<std::streamsize>(trailingData.size()));
    out.close();
    if (!out) {
        *error = "cannot write " + path + ": " + systemError();
        return false;
    }
    return true;
}

// Removes a temporary file on every way out of the scope that created it.
class TemporaryFile {
  public:
    ~TemporaryFile() {
        if (!path.empty())
            std::remove(path.c_str());
    }
    std::string path;
};

// Adds "jre.tar.gz" to the files and derives 151 and 153 from the runtime, replacing given records.
bool addBundledRuntime(PackRequest* request, const std::string& outputPath, TemporaryFile* archive,
                       std::string* error) {
    RuntimeArchiveFacts facts;
    std::string archivePath = request->bundledRuntime;
    std::error_code ignored;
    if (std::filesystem::is_directory(request->bundledRuntime, ignored)) {
        if (!createTemporaryBeside(outputPath, &archive->path, error) ||
            !writeRuntimeArchive(request->bundledRuntime, archive->path, &facts, error))
            return false;
        archivePath = archive->path;
    } else if (!checkRuntimeArchive(request->bundledRuntime, &facts, error)) {
        return false;
    }
    auto& config = request->tables.config;
    config.erase(std::remove_if(config.begin(), config.end(),
                                [](const std::pair<int32_t, std::string>& record) {
                                    return record.first == payload::config::RuntimeArchiveSize ||
                                           record.first == payload::config::RuntimeIsPacked;
                                }),
                 config.end());
    config.emplace_back(payload::config::RuntimeArchiveSize, std::to_string(facts.streamLength));
    config.emplace_back(payload::config::RuntimeIsPacked, facts.packed ? "1" : "0");
    request->files.push_back(IncludedFile{kRuntimeArchiveName, archivePath});
    return true;
}

} // namespace

bool validateIncludedFileName(const std::string& name, std::string* error) {
    if (name.empty()) {
        *error = "the file name is empty";
        return false;
    }
    if (name == "." || name == "..") {
        *error = "\"" + shownInMessage(name) + "\" is not a file name";
        return false;
    }
    if (name.size() >= 2 && name[1] == ':') {
        *error = "\"" + shownInMessage(name) + "\" has a drive letter; give a plain file name";
        return false;
    }
    if (isDeviceName(name)) {
        *error = "\"" + shownInMessage(name) + "\" names a Windows device, not a file";
        return false;
    }
    if (name.back() == '.' || name.back() == ' ') {
        *error = "\"" + shownInMessage(name) + "\" ends with '" + name.back() +
                 "', which Windows drops from file names";
        return false;
    }
    for (char c : name) {
        if (c == '/' || c == '\\') {
            *error = "\"" + shownInMessage(name) + "\" has a directory part; give a plain file name";
            return false;
        }
        if (c == ';') {
            *error =
                "\"" + shownInMessage(name) + "\" contains ';', which separates the names in the launcher";
            return false;
        }
        if (static_cast<unsigned char>(c) < 0x20 || std::strchr("<>:\"|?*", c) != nullptr) {
            *error =
                "\"" + shownInMessage(name) + "\" contains a character Windows does not allow in file names";
            return false;
        }
    }
    return true;
}

bool packLauncher(const std::string& stubPath, const PackRequest& givenRequest, const std::string& outputPath,
                  std::string* error) {
    PackRequest request = givenRequest;
    TemporaryFile runtimeArchive;
    if (!request.bundledRuntime.empty() && !addBundledRuntime(&request, outputPath, &runtimeArchive, error))
        return false;
    const std::vector<IncludedFile> files = filesToInclude(request);
    std::string names;
    if (!checkFileNames(files, &names, error))
        return false;

    std::string stub;
    if (!readWholeFile(stubPath, &stub, error))
        return false;
    size_t payloadStart;
    std::string why;
    if (!payload::findPayloadStart(stub, &payloadStart, &why)) {
        *error = "stub " + stubPath + ": " + why;
        return false;
    }
    stub.resize(payloadStart);

    std::string tables;
    payload::appendTables(tables, withFileRecords(request, files.size(), names));

    std::string temporaryPath;
    if (!createTemporaryBeside(outputPath, &temporaryPath, error))
        return false;
    if (!writeLauncher(temporaryPath, stub, tables, files, request.trailingData, error)) {
        std::remove(temporaryPath.c_str());
        return false;
    }
    if (std::rename(temporaryPath.c_str(), outputPath.c_str()) != 0) {
        *error = "cannot move the finished launcher to " + outputPath + ": " + systemError();
        std::remove(temporaryPath.c_str());
        return false;
    }
    return true;
}

} // namespace kestro::packer
