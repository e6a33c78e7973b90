#include "runtime_bundle.h"

#include <libdeflate.h>
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
#include <thread>
#include <vector>

namespace kestro::packer {
namespace {

namespace fs = std::filesystem;

constexpr size_t kBlock = 512;
constexpr size_t kNameField = 100;
constexpr size_t kChunk = 1 << 16;
// The launcher's sizes, its progress divisor and its stream positions are signed 32-bit numbers.
constexpr int64_t kLimit = int64_t{1} << 31;
constexpr const char* kPackedLibraries[] = {"lib/rt.jar",     "lib/charsets.jar",       "lib/plugin.jar",
                                            "lib/deploy.jar", "lib/ext/localedata.jar", "lib/jsse.jar"};

using Block = std::array<char, kBlock>;

// The folders under bin where the launcher looks for jvm.dll, in its order.
constexpr const char* kJvmVariants[] = {"hotspot", "client", "server", "classic", "jrockit"};
// Enough of a DLL's start to reach its PE header.
constexpr size_t kPeHeadBytes = 4096;

bool isJvmLibrary(const std::string& name) {
    return std::any_of(std::begin(kJvmVariants), std::end(kJvmVariants), [&](const char* variant) {
        return name == "bin/" + std::string(variant) + "/jvm.dll";
    });
}

// What the rules over the whole runtime need to know, gathered entry by entry.
struct Inventory {
    bool hasRegularFile = false;
    bool hasBin = false;
    bool hasJavaExecutable = false;
    std::vector<std::pair<std::string, uint16_t>> jvmLibraries;
    std::vector<std::string> packFiles; // regular files ending in ".pack", "./" removed

    // head: the first bytes of a regular file, enough for its PE header where that matters
    void add(std::string name, bool regular, const std::string& head = std::string()) {
        while (name.compare(0, 2, "./") == 0)
            name.erase(0, 2);
        if (regular && (name == "bin/java.exe" || name == "bin/javaw.exe"))
            hasJavaExecutable = true;
        if (regular && isJvmLibrary(name)) {
            uint16_t machine = 0;
            readPeMachine(head, &machine);
            jvmLibraries.emplace_back(name, machine);
        }
        hasRegularFile = hasRegularFile || regular;
        hasBin = hasBin || name.compare(0, 4, "bin/") == 0;
        if (regular && name.size() > 5 && name.compare(name.size() - 5, 5, ".pack") == 0)
            packFiles.push_back(name);
    }

    bool conclude(RuntimeArchiveFacts* facts, std::string* error) const {
        if (!hasRegularFile) {
            *error = "the runtime holds no files; the launcher refuses an archive without regular files";
            return false;
        }
        if (!hasBin) {
            *error = "the runtime has no bin directory at its top; give the runtime's home directory, whose "
                     "bin and lib the archive must hold without a folder around them";
            return false;
        }
        const auto packed = [&](const std::string& name) {
            return std::find(packFiles.begin(), packFiles.end(), name + ".pack") != packFiles.end();
        };
        facts->packed = packed(kPackedLibraries[0]);
        facts->hasJavaExecutable = hasJavaExecutable;
        facts->jvmLibraries = jvmLibraries;
        for (const std::string& name : packFiles) {
            const bool known =
                std::any_of(std::begin(kPackedLibraries), std::end(kPackedLibraries),
                            [&](const char* library) { return name == library + std::string(".pack"); });
            if (!known || !facts->packed) {
                *error = name +
                         " would stay packed: the launcher unpacks only lib/rt.jar, lib/charsets.jar, "
                         "lib/plugin.jar, lib/deploy.jar, lib/ext/localedata.jar and lib/jsse.jar, and "
                         "only when lib/rt.jar.pack is present";
                return false;
            }
        }
        return true;
    }
};

// The launcher turns '/' into '\' and writes where the name leads; it must stay in the runtime.
bool checkEntryName(const std::string& name, std::string* error) {
    const auto refuse = [&](const std::string& why) {
        *error = "entry \"" + name + "\" " + why;
        return false;
    };
    if (name.size() >= kNameField)
        return refuse("is " + std::to_string(name.size()) +
                      " bytes long; the launcher reads tar names of at most 99 bytes");
    if (!name.empty() && (name[0] == '/' || name[0] == '\\'))
        return refuse("is absolute");
    if (name.find(':') != std::string::npos)
        return refuse("has a ':' (a drive or a file stream on Windows)");
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of("/\\", start);
        if (end == std::string::npos)
            end = name.size();
        const std::string component = name.substr(start, end - start);
        if (component.find_first_not_of(". ") == std::string::npos &&
            std::count(component.begin(), component.end(), '.') >= 2)
            return refuse("climbs out of the runtime directory");
        start = end + 1;
    }
    return true;
}

// Names written by the packer are plain printable ASCII, the same in every Windows code page.
bool checkWrittenName(const std::string& name, std::string* error) {
    for (char c : name) {
        if (c < 0x20 || c > 0x7e || std::strchr("\\:*?\"<>|", c) != nullptr) {
            *error =
                "file \"" + name + "\" has a character other than printable ASCII or one Windows forbids";
            return false;
        }
    }
    return checkEntryName(name, error);
}

void putOctal(Block& header, size_t offset, size_t width, int64_t value) {
    // width - 1 digits and a terminating NUL, as ustar writers do
    for (size_t i = width - 1; i-- > 0; value >>= 3)
        header[offset + i] = static_cast<char>('0' + (value & 7));
    header[offset + width - 1] = '\0';
}

Block ustarHeader(const std::string& name, char type, int64_t size) {
    Block header{};
    std::memcpy(header.data(), name.data(), name.size());
    putOctal(header, 100, 8, type == '5' ? 0755 : 0644);
    putOctal(header, 108, 8, 0); // uid
    putOctal(header, 116, 8, 0); // gid
    putOctal(header, 124, 12, size);
    putOctal(header, 136, 12, 0); // mtime
    header[156] = type;
    std::memcpy(header.data() + 257,
                "ustar\0"
                "00",
                8);
    std::memset(header.data() + 148, ' ', 8);
    unsigned sum = 0;
    for (char c : header)
        sum += static_cast<unsigned char>(c);
    putOctal(header, 148, 7, sum);
    header[155] = ' ';
    return header;
}

// Writes a gzip file as a series of members, each compressing one fixed-size slice of the stream, so
// that the slices can be compressed on all cores at once. The slices' bounds depend only on the
// stream, so the bytes do not depend on the number of cores. Readers of gzip (zlib's gz functions,
// which the launcher uses, gzip itself) read the members as one stream.
class GzipMemberWriter {
  public:
    explicit GzipMemberWriter(FILE* out)
        : out_(out), workers_(std::clamp<unsigned>(std::thread::hardware_concurrency(), 1, 8)) {
        for (unsigned i = 0; i < workers_; ++i)
            compressors_.emplace_back(libdeflate_alloc_compressor(kLevel), libdeflate_free_compressor);
        slices_.resize(workers_);
        compressed_.resize(workers_);
        slices_[0].reserve(kSlice);
    }

    bool ready() const {
        return std::all_of(compressors_.begin(), compressors_.end(),
                           [](const auto& c) { return c != nullptr; });
    }

    bool write(const char* bytes, size_t count) {
        while (count > 0) {
            std::vector<char>& slice = slices_[filled_];
            const size_t taken = std::min(count, kSlice - slice.size());
            slice.insert(slice.end(), bytes, bytes + taken);
            bytes += taken;
            count -= taken;
            if (slice.size() == kSlice && ++filled_ == workers_ && !flush())
                return false;
            if (filled_ < workers_ && slices_[filled_].capacity() < kSlice)
                slices_[filled_].reserve(kSlice);
        }
        return true;
    }

    // Compresses what is left; false when compressing or writing failed.
    bool finish() {
        if (filled_ < workers_ && !slices_[filled_].empty())
            ++filled_;
        return flush();
    }

  private:
    // Like gzip -6 in size, and several times faster than zlib at it.
    static constexpr int kLevel = 6;
    static constexpr size_t kSlice = size_t{4} << 20;

    bool flush() {
        std::vector<std::thread> threads;
        std::vector<char> failed(filled_, 0);
        const auto compress = [&](unsigned i) {
            std::vector<char>& out = compressed_[i];
            out.resize(libdeflate_gzip_compress_bound(compressors_[i].get(), slices_[i].size()));
            const size_t size = libdeflate_gzip_compress(compressors_[i].get(), slices_[i].data(),
                                                         slices_[i].size(), out.data(), out.size());
            failed[i] = size == 0;
            out.resize(size);
        };
        for (unsigned i = 1; i < filled_; ++i)
            threads.emplace_back(compress, i);
        if (filled_ > 0)
            compress(0);
        for (std::thread& thread : threads)
            thread.join();
        for (unsigned i = 0; i < filled_; ++i) {
            if (failed[i] ||
                std::fwrite(compressed_[i].data(), 1, compressed_[i].size(), out_) != compressed_[i].size())
                return false;
            slices_[i].clear();
        }
        filled_ = 0;
        return true;
    }

    FILE* out_;
    unsigned workers_;
    unsigned filled_ = 0; // slices full and waiting, and the index of the one being filled
    std::vector<std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor*)>> compressors_;
    std::vector<std::vector<char>> slices_;
    std::vector<std::vector<char>> compressed_;
};

class ArchiveWriter {
  public:
    ArchiveWriter(GzipMemberWriter& out, std::string* error) : out_(out), error_(error) {}

    bool writeTree(const fs::path& directory, const std::string& prefix) {
        std::error_code failure;
        std::vector<fs::directory_entry> entries;
        for (fs::directory_iterator it(directory, failure), end; !failure && it != end; it.increment(failure))
            entries.push_back(*it);
        if (failure)
            return fail("cannot list " + directory.string() + ": " + failure.message());
        std::sort(entries.begin(), entries.end(),
                  [](const fs::directory_entry& a, const fs::directory_entry& b) {
                      return a.path().filename().string() < b.path().filename().string();
                  });
        for (const fs::directory_entry& entry : entries) {
            const std::string name = prefix + entry.path().filename().string();
            const fs::file_status status = entry.symlink_status(failure);
            if (fs::is_symlink(status))
                return fail(entry.path().string() +
                            " is a symbolic link; the launcher creates no links, copy "
                            "the file or directory in its place");
            if (fs::is_directory(status)) {
                if (!checkWrittenName(name + "/", error_) || !put(ustarHeader(name + "/", '5', 0)) ||
                    !writeTree(entry.path(), name + "/"))
                    return false;
                inventory.add(name + "/", false);
            } else if (fs::is_regular_file(status)) {
                std::string head;
                if (!checkWrittenName(name, error_) || !writeFile(entry.path(), name, &head))
                    return false;
                inventory.add(name, true, head);
            } else {
                return fail(entry.path().string() + " is neither a file nor a directory");
            }
        }
        return true;
    }

    bool finish() {
        const Block zeros{};
        return put(zeros) && put(zeros);
    }

    int64_t length = 0;
    Inventory inventory;

  private:
    bool fail(const std::string& message) {
        *error_ = message;
        return false;
    }

    bool put(const Block& block) { return putBytes(block.data(), block.size()); }

    bool putBytes(const char* bytes, size_t count) {
        length += static_cast<int64_t>(count);
        if (length >= kLimit)
            return fail("the runtime archive reaches 2 GiB uncompressed; the launcher counts its progress in "
                        "signed 32-bit numbers");
        if (!out_.write(bytes, count))
            return fail("cannot write the runtime archive: " + std::string(std::strerror(errno)));
        return true;
    }

    // Keeps the file's first bytes in head.
    bool writeFile(const fs::path& path, const std::string& name, std::string* head) {
        std::ifstream in(path, std::ios::binary | std::ios::ate);
        if (!in)
            return fail("cannot open " + path.string());
        const int64_t size = static_cast<int64_t>(in.tellg());
        if (size >= kLimit)
            return fail(path.string() +
                        " is 2 GiB or larger; the launcher reads sizes as signed 32-bit numbers");
        in.seekg(0);
        if (!put(ustarHeader(name, '0', size)))
            return false;
        std::vector<char> chunk(kChunk);
        for (int64_t left = size; left > 0;) {
            const auto wanted = static_cast<std::streamsize>(std::min<int64_t>(left, kChunk));
            in.read(chunk.data(), wanted);
            if (in.gcount() != wanted)
                return fail(path.string() + " could not be read completely (did it change?)");
            if (head->empty())
                head->assign(chunk.data(), static_cast<size_t>(std::min<int64_t>(wanted, kPeHeadBytes)));
            if (!putBytes(chunk.data(), static_cast<size_t>(wanted)))
                return false;
            left -= wanted;
        }
        const size_t padding = (kBlock - static_cast<size_t>(size % kBlock)) % kBlock;
        const Block zeros{};
        return putBytes(zeros.data(), padding);
    }

    GzipMemberWriter& out_;
    std::string* error_;
};

// Strict octal: blanks and zeros before, NUL or blank after; no base-256 form, below 2 GiB.
bool parseSize(const char* field, int64_t* size) {
    size_t i = 0;
    while (i < 12 && field[i] == ' ')
        ++i;
    int64_t value = 0;
    for (; i < 12 && field[i] >= '0' && field[i] <= '7'; ++i) {
        value = value * 8 + (field[i] - '0');
        if (value >= kLimit)
            return false;
    }
    if (i < 12 && field[i] != '\0' && field[i] != ' ')
        return false;
    *size = value;
    return true;
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
        char rest[kBlock];
        for (size_t got = 1; got > 0;) {
            if (!read(rest, sizeof rest, &got))
                return false;
        }
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
        int64_t size;
        if (!parseSize(header.data() + 124, &size))
            return fail("entry \"" + name + "\" has a size field that is not octal below 2 GiB");
        const char type = header[156];
        std::string data;
        switch (type) {
        case '0':
        case '5':
            if (!checkEntryName(name, error_))
                return false;
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
};

} // namespace

bool readPeMachine(const std::string& head, uint16_t* machine) {
    const auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(head[i])); };
    if (head.size() < 64 || head[0] != 'M' || head[1] != 'Z')
        return false;
    const uint32_t signature = byte(60) | byte(61) << 8 | byte(62) << 16 | byte(63) << 24;
    if (signature > head.size() - 6 || head.compare(signature, 4, std::string("PE\0\0", 4)) != 0)
        return false;
    *machine = static_cast<uint16_t>(byte(signature + 4) | byte(signature + 5) << 8);
    return true;
}

std::string machineName(uint16_t machine) {
    if (machine == kMachineX64)
        return "x64";
    if (machine == kMachineX86)
        return "x86";
    char text[16];
    std::snprintf(text, sizeof text, "0x%04x", machine);
    return text;
}

bool checkWindowsRuntime(const RuntimeArchiveFacts& facts, uint16_t machine, std::string* error) {
    if (!facts.hasJavaExecutable) {
        *error = "the runtime has neither bin/java.exe nor bin/javaw.exe: it is not a Windows runtime (the "
                 "launcher could not use it)";
        return false;
    }
    if (facts.jvmLibraries.empty()) {
        *error = "the runtime has no jvm.dll in bin/hotspot, bin/client, bin/server, bin/classic or "
                 "bin/jrockit, where the launcher looks for it";
        return false;
    }
    for (const auto& [name, libraryMachine] : facts.jvmLibraries) {
        if (libraryMachine == machine)
            return true;
    }
    const auto& [name, libraryMachine] = facts.jvmLibraries.front();
    *error = name + " is " +
             (libraryMachine == 0 ? "not a Windows DLL" : "for " + machineName(libraryMachine)) +
             ", but the launcher stub is for " + machineName(machine) +
             "; bundle a Windows runtime of the stub's architecture";
    return false;
}

bool writeRuntimeArchive(const std::string& runtimeDirectory, const std::string& archivePath,
                         RuntimeArchiveFacts* facts, std::string* error) {
    std::error_code failure;
    if (!fs::is_directory(runtimeDirectory, failure)) {
        *error = "runtime directory " + runtimeDirectory + " does not exist";
        return false;
    }
    // libdeflate's gzip members carry no time stamp.
    FILE* out = std::fopen(archivePath.c_str(), "wb");
    if (out == nullptr) {
        *error = "cannot write " + archivePath + ": " + std::strerror(errno);
        return false;
    }
    GzipMemberWriter compressor(out);
    ArchiveWriter writer(compressor, error);
    bool written = compressor.ready() && writer.writeTree(runtimeDirectory, "") && writer.finish();
    if (written && !compressor.finish()) {
        *error = "cannot write " + archivePath + ": " + std::strerror(errno);
        written = false;
    }
    if (std::fclose(out) != 0 && written) {
        *error = "cannot write " + archivePath;
        written = false;
    }
    if (!written)
        return false;
    facts->streamLength = writer.length;
    return writer.inventory.conclude(facts, error);
}

bool checkRuntimeArchive(const std::string& archivePath, RuntimeArchiveFacts* facts, std::string* error) {
    gzFile in = gzopen(archivePath.c_str(), "rb");
    if (in == nullptr) {
        *error = "cannot open runtime archive " + archivePath;
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
