#include "commands/pack.h"
#include "executable/picture_resource.h"

#include "support/text_encoding.h"

#include "executable/certificate_table.h"
#include "executable/pe_checksum.h"

#include "binary/little_endian.h"
#include "names/windows_names.h"
#include "payload/payload_format.h"
#include "payload/stub_marker.h"
#include "payload/stub_resources.h"
#include "pe/pe_image.h"
#include "support/file_io.h"
#include "support/temporary_file.h"
#include "writers/included_files_writer.h"
#include "writers/runtime_bundle.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace kestro::packer {
namespace {

std::string systemError() {
    return std::strerror(errno);
}

bool checkFileNames(const std::vector<IncludedFile>& files, std::string* names, std::string* error) {
    std::set<std::string> seen; // as Windows compares names
    names->clear();
    for (const IncludedFile& file : files) {
        std::string why;
        if (!validateIncludedFileName(file.name, &why)) {
            *error = "included file " + file.sourcePath + ": " + why;
            return false;
        }
        if (!seen.insert(names::folded(file.name)).second) {
            *error = "included file " + file.sourcePath + ": the name \"" + shownInMessage(file.name) +
                     "\" is used twice";
            return false;
        }
        *names += file.name + ";";
    }
    if (names->size() >= payload::kIncludedFileNamesCapacity) {
        *error = "the names of the included files are " + std::to_string(names->size()) +
                 " bytes together; a launcher reads at most " +
                 std::to_string(payload::kIncludedFileNamesCapacity - 1);
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

std::string directoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// True when writing outputPath would overwrite input: the same path, or another name (a hard or
// symbolic link) of the same file.
bool sameFile(const std::string& outputPath, const std::string& input) {
    if (input.empty())
        return false;
    std::error_code failure;
    if (std::filesystem::equivalent(outputPath, input, failure))
        return true;
    const auto output = std::filesystem::weakly_canonical(outputPath, failure);
    return !failure && output == std::filesystem::weakly_canonical(input, failure) && !failure;
}

// The output must be a file that replaces none of the inputs and lies outside a runtime directory
// the packer archives (where it would be packed into the next launcher's runtime).
bool checkOutput(const std::string& stubPath, const PackRequest& request, const std::string& outputPath,
                 std::string* error) {
    std::error_code failure;
    if (std::filesystem::is_directory(outputPath, failure)) {
        *error = "the output " + outputPath + " is a directory; name the launcher file to write";
        return false;
    }
    if (std::filesystem::is_directory(request.bundledRuntime, failure)) {
        const auto runtime =
            std::filesystem::weakly_canonical(request.bundledRuntime, failure).string() + "/";
        if (std::filesystem::weakly_canonical(outputPath, failure).string().rfind(runtime, 0) == 0) {
            *error = "the output " + outputPath + " lies inside the bundled runtime directory " +
                     request.bundledRuntime + ", which the packer archives; choose an output outside it";
            return false;
        }
    }
    std::vector<std::pair<std::string, std::string>> inputs = {
        {"the project file", request.projectPath},
        {"the launcher stub", stubPath},
        {"the runtime jar", request.runtimeJarPath},
        {"the bundled runtime", request.bundledRuntime},
        {"the icon", request.iconPath}};
    if (request.signing) {
        inputs.emplace_back("the signing certificate", request.signing->pkcs12Path);
        inputs.emplace_back("the signing key", request.signing->keyPath);
        inputs.emplace_back("the signing certificate", request.signing->certificatePath);
        inputs.emplace_back("the signing password file", request.signing->passwordFile);
    }
    for (const IncludedFile& file : request.files)
        inputs.emplace_back("the included file", file.sourcePath);
    inputs.insert(inputs.end(), request.inputFiles.begin(), request.inputFiles.end());
    for (const auto& [what, path] : inputs) {
        if (sameFile(outputPath, path)) {
            *error = "the output " + outputPath + " is " + what + " " + path + "; choose another output path";
            return false;
        }
    }
    return true;
}

// Reads the stub's prefix (up to the end of its last section) and its PE machine; refuses any
// executable that is not a Kestro launcher stub, whose users would get a program that never reads
// its payload.
bool readStub(const std::string& stubPath, uint16_t targetMachine, std::string* stub, uint16_t* machine,
              std::string* error) {
    if (!readWholeFile(stubPath, stub, error))
        return false;
    size_t payloadStart;
    std::string why;
    if (!payload::findPayloadStart(*stub, &payloadStart, &why)) {
        *error = "stub " + stubPath + ": " + why;
        return false;
    }
    // The marker counts inside the image only: anything may follow an executable's last section.
    const bool marked = stub->substr(0, payloadStart).find(payload::kStubMarker) != std::string::npos;
    if (marked && stub->size() - payloadStart >= 4 && binary::get32(*stub, payloadStart) == payload::kMagic) {
        *error = "stub " + stubPath +
                 " is a finished launcher, not a stub: its splash, icon and version information would "
                 "pass into the new one; use the stub installed with kestro (--target)";
        return false;
    }
    stub->resize(payloadStart);
    // A signed stub's signature went with its overlay; an entry still pointing at it would make the
    // output look signed, and a signer would cut "its" old table out of the payload.
    clearCertificateTableEntry(stub);
    if (!marked) {
        *error = "stub " + stubPath +
                 " is not a Kestro launcher stub; use the stub installed with kestro (--target) or one "
                 "built from the same release";
        return false;
    }
    pe::Headers headers;
    if (!pe::readHeaders(*stub, &headers, &why)) {
        *error = "stub " + stubPath + ": " + why;
        return false;
    }
    *machine = headers.machine;
    if (targetMachine != 0 && *machine != targetMachine) {
        *error = "stub " + stubPath + " is for " + machineName(*machine) + ", not for " +
                 machineName(targetMachine);
        return false;
    }
    return true;
}

// Writes the launcher and, for a stub whose optional header has one, its PE checksum over the whole
// file: Windows and every tool that reads it check the field against the file's bytes.
bool writeLauncher(const std::string& path, std::string& stubPrefix, const std::string& tables,
                   const std::vector<IncludedFile>& files, const std::string& trailingData,
                   std::string* error) {
    pe::Headers headers;
    const bool withChecksum = pe::readHeaders(stubPrefix, &headers, error) && headers.magic != 0;
    if (withChecksum)
        binary::put32(stubPrefix, headers.checksumField(), 0);
    FileDescriptor out(openEmptiedForWriting(path));
    const auto failed = [&] {
        if (error->empty())
            *error = "cannot write " + path + ": " + systemError();
        return false;
    };
    error->clear();
    PeChecksum checksum;
    const auto put = [&](const std::string& bytes) {
        checksum.add(bytes.data(), bytes.size());
        return writeAll(out.get(), bytes.data(), bytes.size());
    };
    if (out.get() < 0 || !put(stubPrefix) || !put(tables))
        return failed();
    if (!writeIncludedFiles(out.get(), files, &checksum, error))
        return failed();
    if (!put(trailingData))
        return failed();
    std::string field;
    binary::append32(field, checksum.value());
    if (withChecksum &&
        pwrite(out.get(), field.data(), field.size(), static_cast<off_t>(headers.checksumField())) !=
            static_cast<ssize_t>(field.size()))
        return failed();
    if (!out.closeNow())
        return failed();
    return true;
}

// Adds "jre.tar.gz" to the files and derives 151, 153 and 10203 (its digest, the runtime cache's key)
// from the runtime, replacing given records.
bool addBundledRuntime(PackRequest* request, const std::string& outputPath, uint16_t machine,
                       TemporaryFile* archive, std::string* error) {
    RuntimeArchiveFacts facts;
    std::string archivePath = request->bundledRuntime;
    std::error_code ignored;
    if (std::filesystem::is_directory(request->bundledRuntime, ignored)) {
        if (!archive->create(directoryOf(outputPath), error) ||
            !writeRuntimeArchive(request->bundledRuntime, archive->path(), &facts, error))
            return false;
        archivePath = archive->path();
    } else if (!checkRuntimeArchive(request->bundledRuntime, &facts, error)) {
        return false;
    }
    std::string why;
    std::string preferredVariant;
    for (const auto& [id, text] : request->tables.config) {
        if (id == payload::config::PreferredJvmVariant)
            preferredVariant = text;
    }
    if (!checkWindowsRuntime(facts, machine, preferredVariant, &why)) {
        *error = "bundled runtime " + request->bundledRuntime + ": " + why;
        return false;
    }
    std::string digest;
    if (!archiveDigest(archivePath, &digest, error))
        return false;
    auto& config = request->tables.config;
    config.erase(std::remove_if(config.begin(), config.end(),
                                [](const std::pair<int32_t, std::string>& record) {
                                    return record.first == payload::config::RuntimeArchiveSize ||
                                           record.first == payload::config::RuntimeIsPacked ||
                                           record.first == payload::config::RuntimeArchiveDigest;
                                }),
                 config.end());
    config.emplace_back(payload::config::RuntimeArchiveSize, std::to_string(facts.streamLength));
    config.emplace_back(payload::config::RuntimeIsPacked, facts.packed ? "1" : "0");
    config.emplace_back(payload::config::RuntimeArchiveDigest, digest);
    request->files.push_back(IncludedFile{kRuntimeArchiveName, archivePath});
    return true;
}

// Moves the request's resources into the stub's tree and rewrites its resource section.
bool replaceResources(std::string* stub, const std::string& stubPath, PackRequest* request,
                      std::string* error) {
    ResourceTree tree;
    std::string why;
    if (!readResources(*stub, &tree, &why)) {
        *error = "stub " + stubPath + ": " + why;
        return false;
    }
    mergeResources(&tree, std::move(request->resources));
    if (!request->iconPath.empty()) {
        std::string ico;
        if (!readWholeFile(request->iconPath, &ico, error))
            return false;
        // A PNG is made into an icon file of the sizes the shell asks for.
        if (isPng(ico)) {
            const std::string png = std::move(ico);
            if (!iconFromPng(png, &ico, &why)) {
                *error = "icon " + request->iconPath + ": " + why;
                return false;
            }
        }
        if (!setIconGroup(&tree, KESTRO_LAUNCHER_ICON_GROUP, ico, &why)) {
            *error = "icon " + request->iconPath + ": " + why;
            return false;
        }
    }
    if (!writeResources(stub, tree, &why)) {
        *error = "stub " + stubPath + ": " + why;
        return false;
    }
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
    if (name.find_first_of("/\\") != std::string::npos) {
        *error = "\"" + shownInMessage(name) + "\" has a directory part; give a plain file name";
        return false;
    }
    if (name.find(';') != std::string::npos) {
        *error = "\"" + shownInMessage(name) + "\" contains ';', which separates the names in the launcher";
        return false;
    }
    if (const char* why = names::checkComponent(name)) {
        *error = "\"" + shownInMessage(name) + "\" " + why;
        return false;
    }
    return true;
}

bool packLauncher(const std::string& stubPath, PackRequest request, const std::string& outputPath,
                  std::string* error, PackSummary* summary) {
    if (!checkOutput(stubPath, request, outputPath, error))
        return false;
    if (request.signing && !checkSigningRequest(*request.signing, error))
        return false;
    std::string stub;
    uint16_t machine = 0;
    if (!readStub(stubPath, request.targetMachine, &stub, &machine, error))
        return false;

    if ((!request.resources.empty() || !request.iconPath.empty()) &&
        !replaceResources(&stub, stubPath, &request, error))
        return false;

    TemporaryFile runtimeArchive;
    if (!request.bundledRuntime.empty() &&
        !addBundledRuntime(&request, outputPath, machine, &runtimeArchive, error))
        return false;
    const std::vector<IncludedFile> files = filesToInclude(request);
    std::string names;
    if (!checkFileNames(files, &names, error))
        return false;

    std::string tables;
    payload::appendTables(tables, withFileRecords(request, files.size(), names));

    std::error_code failure;
    std::filesystem::create_directories(directoryOf(outputPath), failure);
    TemporaryFile launcher;
    if (!launcher.create(directoryOf(outputPath), error) ||
        !writeLauncher(launcher.path(), stub, tables, files, request.trailingData, error))
        return false;
    TemporaryFile signedLauncher;
    TemporaryFile* finished = &launcher;
    if (request.signing) {
        // The signer refuses to write over a file, so the reserved name is freed for it; the
        // temporary file still removes whatever it then writes there on every way out.
        if (!signedLauncher.create(directoryOf(outputPath), error))
            return false;
        unlink(signedLauncher.path().c_str());
        if (!signLauncher(*request.signing, launcher.path(), signedLauncher.path(), error))
            return false;
        chmod(signedLauncher.path().c_str(), executableMode()); // the signer may have made the file anew
        finished = &signedLauncher;
    }
    struct stat written {};
    stat(finished->path().c_str(), &written);
    if (std::rename(finished->path().c_str(), outputPath.c_str()) != 0) {
        *error = "cannot move the finished launcher to " + outputPath + ": " + systemError();
        return false;
    }
    finished->release();
    if (summary != nullptr) {
        summary->outputBytes = static_cast<uint64_t>(written.st_size);
        summary->fileCount = files.size();
        summary->runtimeBundled = !request.bundledRuntime.empty();
        summary->machine = machine;
    }
    return true;
}

} // namespace kestro::packer
