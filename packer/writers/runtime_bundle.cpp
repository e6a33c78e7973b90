#include "writers/runtime_bundle.h"

#include "elf/elf_image.h"
#include "names/windows_names.h"
#include "pe/pe_image.h"
#include "runtime/runtime_layout.h"
#include "tar/tar_rules.h"
#include "writers/runtime_archive.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

namespace kestro::packer {
namespace {

using namespace archive;

using runtime::kJvmVariants;
using runtime::kPackedLibraries;

// A library of kPackedLibraries as the archive names it.
std::string archiveName(const char* library) {
    std::string name = library;
    std::replace(name.begin(), name.end(), '\\', '/');
    return name;
}

// Windows finds bin\Server\JVM.DLL where the launcher asks for bin\server\jvm.dll: names are
// compared as Windows compares them.
bool sameName(const std::string& a, const std::string& b) {
    return names::folded(a) == names::folded(b);
}

// The folder of a bin/<folder>/jvm.dll, or "" for any other name.
std::string jvmLibraryFolder(const std::string& name) {
    const size_t slash = name.find('/', 4);
    if (!sameName(name.substr(0, 4), "bin/") || slash == std::string::npos || slash == 4 ||
        !sameName(name.substr(slash), "/jvm.dll"))
        return "";
    return name.substr(4, slash - 4);
}

// The folder of a lib/<folder>/libjvm.so (Linux names are exact), or "" for any other name.
std::string linuxJvmLibraryFolder(const std::string& name) {
    const size_t slash = name.find('/', 4);
    if (name.compare(0, 4, "lib/") != 0 || slash == std::string::npos || slash == 4 ||
        name.substr(slash) != "/libjvm.so")
        return "";
    return name.substr(4, slash - 4);
}

// The folders the launcher looks for jvm.dll in, for messages: "bin/server, bin/client or bin/hotspot".
std::string jvmLibraryPlaces(const std::string& preferredVariant) {
    std::vector<std::string> places;
    if (!preferredVariant.empty())
        places.push_back("bin/" + preferredVariant);
    for (const char* variant : kJvmVariants)
        places.push_back("bin/" + std::string(variant));
    std::string text;
    for (size_t i = 0; i < places.size(); ++i)
        text += (i == 0 ? "" : i + 1 == places.size() ? " or " : ", ") + places[i];
    return text;
}

class ArchiveChecker {
  public:
    ArchiveChecker(gzFile in, std::string* error) : in_(in), error_(error) {}

    bool check(RuntimeArchiveFacts* facts) {
        Block header;
        for (;;) {
            size_t got;
            if (!read(header.data(), kBlock, &got))
                return false;
            if (got == 0)
                break; // no end blocks: the launcher ends there as well
            if (got < kBlock)
                return fail("the archive ends inside a header");
            if (std::memcmp(header.data() + 257, "ustar", 5) != 0) {
                if (std::any_of(header.begin(), header.end(), [](char c) { return c != '\0'; }))
                    return fail("the block at offset " + std::to_string(length_ - kBlock) +
                                " is not a ustar header; the launcher stops reading there");
                break;
            }
            if (!checkEntry(header))
                return false;
        }
        // The launcher stops at the first block that is no header; an archive appended after the end
        // blocks (a second gzip member, as `cat` makes) would never be unpacked.
        const uint64_t end = length_;
        char rest[kBlock];
        for (size_t got = 1; got > 0;) {
            if (!read(rest, sizeof rest, &got))
                return false;
            if (std::any_of(rest, rest + got, [](char c) { return c != '\0'; }))
                return fail("data follows the archive's end at offset " + std::to_string(end) +
                            " (a second archive appended?); the launcher stops reading at the end");
        }
        // zlib hands out the data of a stream that ends before its trailer and only says so here.
        int code = Z_OK;
        const char* why = gzerror(in_, &code);
        if (code != Z_OK)
            return fail("the gzip data is damaged: " + std::string(why));
        if (length_ >= kLimit)
            return fail(
                "the archive is 2 GiB or larger uncompressed; the launcher counts its progress in signed "
                "32-bit numbers");
        facts->streamLength = length_;
        return inventory_.conclude(facts, error_);
    }

  private:
    bool fail(const std::string& message) {
        *error_ = message;
        return false;
    }

    bool read(char* buffer, size_t count, size_t* got) {
        const int result = gzread(in_, buffer, static_cast<unsigned>(count));
        if (result < 0) {
            int code;
            return fail("the gzip data is damaged: " + std::string(gzerror(in_, &code)));
        }
        if (gzdirect(in_))
            return fail("the runtime archive is not gzip-compressed");
        *got = static_cast<size_t>(result);
        length_ += result;
        return true;
    }

    bool checkEntry(const Block& header) {
        const char* nameEnd = static_cast<const char*>(std::memchr(header.data(), '\0', kNameField));
        const std::string name(header.data(), nameEnd != nullptr ? nameEnd - header.data() : kNameField);
        if (nameEnd == nullptr)
            return fail("entry \"" + name +
                        "...\" fills the whole name field; the launcher reads tar names of at "
                        "most 99 bytes");
        if (header[345] != '\0')
            return fail("entry \"" + name + "\" has a ustar name prefix, which the launcher ignores");
        int32_t size = 0;
        if (const char* why = tar::parseSizeField(header.data() + tar::kSizeOffset, &size))
            return fail("entry \"" + name + "\" has a size field " + why +
                        "; the launcher reads plain octal sizes below 2 GiB");
        const char type = header[156];
        std::string data;
        switch (type) {
        case '0':
        case '5':
            if (!admitName(names_, name, type == '5', error_))
                return false;
            // The launcher reads no data after a directory's header, so such data would be taken for
            // the next headers there.
            if (type == '5' && size != 0)
                return fail("directory entry \"" + name +
                            "\" carries data, which the launcher does not skip");
            if (!skipData(size, &data, kPeHeadBytes))
                return false;
            inventory_.add(name, type == '0', data);
            return true;
        case 'x':
            if (!skipData(size, &data))
                return false;
            if (data.find(" path=") != std::string::npos || data.find(" linkpath=") != std::string::npos)
                return fail("entry \"" + name +
                            "\" renames the next entry (pax path), which the launcher ignores");
            return true;
        case 'g':
            return skipData(size, nullptr);
        case 'L':
        case 'K':
            return fail("the archive has a GNU long name; the launcher reads tar names of at most 99 bytes");
        case '1':
        case '2':
            return fail("entry \"" + name + "\" is a link; the launcher creates no links");
        default:
            return fail("entry \"" + name + "\" has type '" + std::string(1, type) +
                        "', which the launcher skips; only files ('0') and directories ('5') are unpacked");
        }
    }

    // Reads size bytes and the padding; keeps up to keep of them in data when asked.
    bool skipData(int64_t size, std::string* data, size_t keep = SIZE_MAX) {
        const int64_t padded = (size + kBlock - 1) / kBlock * kBlock;
        std::vector<char> chunk(kChunk);
        for (int64_t left = padded; left > 0;) {
            size_t got;
            const size_t wanted = static_cast<size_t>(std::min<int64_t>(left, kChunk));
            if (!read(chunk.data(), wanted, &got))
                return false;
            if (got < wanted)
                return fail("the archive ends inside an entry's data");
            if (data != nullptr && data->size() < keep)
                data->append(chunk.data(), std::min(got, keep - data->size()));
            left -= static_cast<int64_t>(got);
        }
        return true;
    }

    gzFile in_;
    std::string* error_;
    int64_t length_ = 0;
    Inventory inventory_;
    tar::EntryNames names_;
};

} // namespace

namespace archive {

void Inventory::add(std::string name, bool regular, const std::string& head) {
    while (name.compare(0, 2, "./") == 0)
        name.erase(0, 2);
    if (regular && (sameName(name, "bin/java.exe") || sameName(name, "bin/javaw.exe")))
        hasJavaExecutable = true;
    if (regular && !jvmLibraryFolder(name).empty()) {
        pe::Headers headers;
        std::string ignored;
        jvmLibraries.emplace_back(name, pe::readHeaders(head, &headers, &ignored) ? headers.machine : 0);
    }
    if (regular && !linuxJvmLibraryFolder(name).empty()) {
        elf::Headers headers;
        std::string ignored;
        linuxJvmLibraries.emplace_back(name,
                                       elf::readHeaders(head, &headers, &ignored) ? headers.machine : 0);
    }
    hasRegularFile = hasRegularFile || regular;
    hasBin = hasBin || sameName(name.substr(0, 4), "bin/");
    if (regular && name.size() > 5 && sameName(name.substr(name.size() - 5), ".pack"))
        packFiles.push_back(name);
}

bool Inventory::conclude(RuntimeArchiveFacts* facts, std::string* error) const {
    if (!hasRegularFile) {
        *error = "the runtime holds no files; the launcher refuses an archive without regular files";
        return false;
    }
    if (!hasBin) {
        *error = "the runtime has no bin directory at its top; give the runtime's home directory, whose "
                 "bin and lib the archive must hold without a folder around them";
        return false;
    }
    const auto packed = [&](const std::string& library) {
        return std::any_of(packFiles.begin(), packFiles.end(),
                           [&](const std::string& name) { return sameName(name, library + ".pack"); });
    };
    facts->packed = packed(archiveName(kPackedLibraries[0]));
    facts->hasJavaExecutable = hasJavaExecutable;
    facts->jvmLibraries = jvmLibraries;
    facts->linuxJvmLibraries = linuxJvmLibraries;
    for (const std::string& name : packFiles) {
        const bool known =
            std::any_of(std::begin(kPackedLibraries), std::end(kPackedLibraries),
                        [&](const char* library) { return sameName(name, archiveName(library) + ".pack"); });
        if (!known || !facts->packed) {
            std::string libraries;
            for (size_t i = 0; i < std::size(kPackedLibraries); ++i)
                libraries += (i == 0                                 ? ""
                              : i + 1 == std::size(kPackedLibraries) ? " and "
                                                                     : ", ") +
                             archiveName(kPackedLibraries[i]);
            *error = name + " would stay packed: the launcher unpacks only " + libraries +
                     ", and only when " + archiveName(kPackedLibraries[0]) + ".pack is present";
            return false;
        }
    }
    return true;
}

bool admitName(tar::EntryNames& names, const std::string& name, bool directory, std::string* error) {
    if (name.size() >= kNameField) {
        *error = "entry \"" + name + "\" is " + std::to_string(name.size()) +
                 " bytes long; the launcher reads tar names of at most 99 bytes";
        return false;
    }
    std::string path;
    if (const char* why = names.admit(name.c_str(), name.size() + 1, directory, &path)) {
        *error = "entry \"" + name + "\" " + why;
        return false;
    }
    return true;
}

} // namespace archive

std::string machineName(uint16_t machine) {
    if (machine == pe::kMachineX64)
        return "x64";
    if (machine == pe::kMachineX86)
        return "x86";
    char text[16];
    std::snprintf(text, sizeof text, "0x%04x", machine);
    return text;
}

bool checkWindowsRuntime(const RuntimeArchiveFacts& facts, uint16_t machine,
                         const std::string& preferredVariant, std::string* error) {
    if (!facts.hasJavaExecutable) {
        *error = "the runtime has neither bin/java.exe nor bin/javaw.exe: it is not a Windows runtime (the "
                 "launcher could not use it)";
        return false;
    }
    std::vector<std::pair<std::string, uint16_t>> tried;
    for (const auto& library : facts.jvmLibraries) {
        const std::string folder = jvmLibraryFolder(library.first);
        if ((!preferredVariant.empty() && sameName(folder, preferredVariant)) ||
            std::any_of(std::begin(kJvmVariants), std::end(kJvmVariants),
                        [&](const char* variant) { return sameName(folder, variant); }))
            tried.push_back(library);
    }
    if (tried.empty()) {
        *error = "the runtime has no jvm.dll in " + jvmLibraryPlaces(preferredVariant) +
                 ", where the launcher looks for it";
        return false;
    }
    for (const auto& [name, libraryMachine] : tried) {
        if (libraryMachine == machine)
            return true;
    }
    const auto& [name, libraryMachine] = tried.front();
    *error = name + " is " +
             (libraryMachine == 0 ? "not a Windows DLL" : "for " + machineName(libraryMachine)) +
             ", but the launcher stub is for " + machineName(machine) +
             "; bundle a Windows runtime of the stub's architecture";
    return false;
}

bool checkLinuxRuntime(const RuntimeArchiveFacts& facts, uint16_t machine,
                       const std::string& preferredVariant, std::string* error) {
    const std::string wanted =
        preferredVariant.empty() ? "lib/server" : "lib/" + preferredVariant + " or lib/server";
    const std::pair<std::string, uint16_t>* tried = nullptr;
    for (const auto& library : facts.linuxJvmLibraries) {
        const std::string folder = linuxJvmLibraryFolder(library.first);
        if (folder != "server" && folder != preferredVariant)
            continue;
        if (library.second == machine)
            return true;
        tried = &library;
    }
    if (tried == nullptr) {
        *error = "the runtime has no libjvm.so in " + wanted +
                 ", where the launcher looks for it: it is not a Linux runtime of Java 9 or later";
        return false;
    }
    *error = tried->first + " is " +
             (tried->second == 0 ? "not a 64-bit Linux library" : "for another machine") +
             "; bundle a Linux runtime for x86-64";
    return false;
}

bool checkRuntimeArchive(const std::string& archivePath, RuntimeArchiveFacts* facts, std::string* error) {
    gzFile in = gzopen(archivePath.c_str(), "rb");
    if (in == nullptr) {
        *error = "cannot open runtime archive " + archivePath + ": " +
                 (errno != 0 ? std::strerror(errno) : "not enough memory");
        return false;
    }
    std::string why;
    const bool fine = ArchiveChecker(in, &why).check(facts);
    gzclose(in);
    if (!fine)
        *error = "runtime archive " + archivePath + ": " + why;
    return fine;
}

} // namespace kestro::packer
