#include "support/file_io.h"
#include "writers/runtime_bundle.h"

#include "tar/tar_rules.h"
#include "writers/runtime_archive.h"

#include <libdeflate.h>
#include <openssl/evp.h>
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
#include <unistd.h>
#include <vector>

namespace kestro::packer {
namespace {

namespace fs = std::filesystem;
using namespace archive;

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
                std::string head;
                if (!admitName(names_, name, false, error_) || !writeFile(entry.path(), name, &head))
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
            return fail("cannot open " + path.string() + ": " + std::strerror(errno));
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
    // libdeflate's gzip members carry no time stamp.
    const int fd = openEmptiedForWriting(archivePath);
    FILE* out = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (out == nullptr) {
        *error = "cannot write " + archivePath + ": " + std::strerror(errno);
        if (fd >= 0)
            close(fd);
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

bool archiveDigest(const std::string& archivePath, std::string* hex, std::string* error) {
    std::ifstream in(archivePath, std::ios::binary);
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!in || context == nullptr || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        *error = "cannot read " + archivePath + " for its digest";
        return false;
    }
    std::vector<char> chunk(kChunk);
    while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0)
        EVP_DigestUpdate(context.get(), chunk.data(), static_cast<size_t>(in.gcount()));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (in.bad() || EVP_DigestFinal_ex(context.get(), digest, &length) != 1) {
        *error = "cannot read " + archivePath + " for its digest";
        return false;
    }
    static const char kDigits[] = "0123456789abcdef";
    hex->clear();
    for (unsigned i = 0; i < length; ++i)
        *hex += {kDigits[digest[i] >> 4], kDigits[digest[i] & 0xf]};
    return true;
}

} // namespace kestro::packer
