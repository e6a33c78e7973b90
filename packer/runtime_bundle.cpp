#include "runtime_bundle.h"

#include "tar/tar_rules.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
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

// What the rules over the whole runtime need to know, gathered entry by entry.
struct Inventory {
    bool hasRegularFile = false;
    bool hasBin = false;
    std::vector<std::string> packFiles; // regular files ending in ".pack", "./" removed

    void add(std::string name, bool regular) {
        while (name.compare(0, 2, "./") == 0)
            name.erase(0, 2);
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

// The launcher turns '/' into '\\' and writes where the name leads: the shared entry rules decide.
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

class ArchiveWriter {
  public:
    ArchiveWriter(gzFile out, std::string* error) : out_(out), error_(error) {}

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
            if (name.find('\\') != std::string::npos)
                return fail("file \"" + name + "\" has a '\\', which the launcher takes for a separator");
            const fs::file_status status = entry.symlink_status(failure);
            if (fs::is_symlink(status))
                return fail(entry.path().string() +
                            " is a symbolic link; the launcher creates no links, copy "
                            "the file or directory in its place");
            if (fs::is_directory(status)) {
                if (!admitName(names_, name + "/", true, error_) || !put(ustarHeader(name + "/", '5', 0)) ||
                    !writeTree(entry.path(), name + "/"))
                    return false;
                inventory.add(name + "/", false);
            } else if (fs::is_regular_file(status)) {
                if (!admitName(names_, name, false, error_) || !writeFile(entry.path(), name))
                    return false;
                inventory.add(name, true);
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
        if (gzwrite(out_, bytes, static_cast<unsigned>(count)) != static_cast<int>(count))
            return fail("cannot write the runtime archive: " + std::string(gzerror(out_, nullptr)));
        return true;
    }

    bool writeFile(const fs::path& path, const std::string& name) {
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
            if (!putBytes(chunk.data(), static_cast<size_t>(wanted)))
                return false;
            left -= wanted;
        }
        const size_t padding = (kBlock - static_cast<size_t>(size % kBlock)) % kBlock;
        const Block zeros{};
        return putBytes(zeros.data(), padding);
    }

    gzFile out_;
    std::string* error_;
    tar::EntryNames names_;
};

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
            inventory_.add(name, type == '0');
            return skipData(size, nullptr);
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

    // Reads size bytes and the padding; keeps them in data when asked (pax headers are small).
    bool skipData(int64_t size, std::string* data) {
        const int64_t padded = (size + kBlock - 1) / kBlock * kBlock;
        std::vector<char> chunk(kChunk);
        for (int64_t left = padded; left > 0;) {
            size_t got;
            const size_t wanted = static_cast<size_t>(std::min<int64_t>(left, kChunk));
            if (!read(chunk.data(), wanted, &got))
                return false;
            if (got < wanted)
                return fail("the archive ends inside an entry's data");
            if (data != nullptr)
                data->append(chunk.data(), got);
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

bool writeRuntimeArchive(const std::string& runtimeDirectory, const std::string& archivePath,
                         RuntimeArchiveFacts* facts, std::string* error) {
    std::error_code failure;
    if (!fs::is_directory(runtimeDirectory, failure)) {
        *error = "runtime directory " + runtimeDirectory + " does not exist";
        return false;
    }
    // zlib's gzip writer leaves the header's time stamp at 0.
    gzFile out = gzopen(archivePath.c_str(), "wb9");
    if (out == nullptr) {
        *error = "cannot write " + archivePath + ": " + std::strerror(errno);
        return false;
    }
    ArchiveWriter writer(out, error);
    bool written = writer.writeTree(runtimeDirectory, "") && writer.finish();
    if (gzclose(out) != Z_OK && written) {
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
