#include "writers/included_files_writer.h"

#include "payload/payload_format.h"
#include "support/file_io.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace kestro::packer {
namespace {

// Large enough that system calls cost little against the copying itself.
constexpr size_t kChunkSize = 1 << 20;
// One chunk being filled, one being written and one ready, so that neither side waits on the other
// for long.
constexpr size_t kChunkCount = 3;

// The same as payload::scrambleBytes, 16 bytes at a time.
void scrambleFast(char* data, size_t size) {
    using Block = uint8_t __attribute__((vector_size(16)));
    const Block key = Block{} + static_cast<uint8_t>(payload::kIncludedFileKey);
    size_t i = 0;
    for (; i + sizeof(Block) <= size; i += sizeof(Block)) {
        Block block;
        std::memcpy(&block, data + i, sizeof block);
        block ^= key;
        std::memcpy(data + i, &block, sizeof block);
    }
    payload::scrambleBytes(reinterpret_cast<uint8_t*>(data + i), size - i);
}

// The chunks' memory, mapped with its pages present: on a virtual machine, where every page fault
// traps to the host, faulting them in one at a time as they are first filled costs a tenth of a
// large pack.
class ChunkMemory {
  public:
    static constexpr size_t kBytes = kChunkSize * kChunkCount;
    ChunkMemory()
        : data_(static_cast<char*>(mmap(nullptr, kBytes, PROT_READ | PROT_WRITE,
                                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0))) {}
    ~ChunkMemory() {
        if (data_ != MAP_FAILED)
            munmap(data_, kBytes);
    }
    ChunkMemory(const ChunkMemory&) = delete;
    ChunkMemory& operator=(const ChunkMemory&) = delete;
    bool ready() const { return data_ != MAP_FAILED; }
    char* chunk(size_t index) const { return data_ + index * kChunkSize; }

  private:
    char* data_;
};

// Writes filled chunks in the order they are handed over, on a thread of its own: reading and
// scrambling the next chunk then overlaps writing this one, and the kernel's two copies, into the
// chunk and out to the file, run on two cores.
class ChunkWriter {
  public:
    ChunkWriter(int out, const ChunkMemory& memory, PeChecksum* checksum) : out_(out), checksum_(checksum) {
        for (size_t i = 0; i < kChunkCount; ++i)
            free_.push_back(memory.chunk(i));
        thread_ = std::thread([this] { run(); });
    }
    ~ChunkWriter() { finish(); }
    ChunkWriter(const ChunkWriter&) = delete;
    ChunkWriter& operator=(const ChunkWriter&) = delete;

    // A chunk to fill, or nullptr once a write has failed.
    char* acquire() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return !free_.empty() || failed_; });
        if (failed_)
            return nullptr;
        char* chunk = free_.front();
        free_.pop_front();
        return chunk;
    }

    void submit(char* chunk, size_t size) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            filled_.push_back({chunk, size});
        }
        changed_.notify_all();
    }

    // Waits until every chunk handed over is written. False when a write failed, with errno as
    // that write left it.
    bool finish() {
        if (thread_.joinable()) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                done_ = true;
            }
            changed_.notify_all();
            thread_.join();
        }
        if (failed_)
            errno = writeError_;
        return !failed_;
    }

  private:
    struct Filled {
        char* chunk;
        size_t size;
    };

    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return !filled_.empty() || done_; });
            if (filled_.empty())
                return;
            const Filled next = filled_.front();
            filled_.pop_front();
            const bool skip = failed_;
            lock.unlock();
            // Summed here, in file order, while the next chunk is read and scrambled.
            if (!skip)
                checksum_->add(next.chunk, next.size);
            const bool written = skip || writeAll(out_, next.chunk, next.size);
            const int writeError = errno;
            lock.lock();
            if (!written) {
                failed_ = true;
                writeError_ = writeError;
            }
            free_.push_back(next.chunk);
            changed_.notify_all();
        }
    }

    const int out_;
    PeChecksum* const checksum_; // touched only by the writing thread until finish()
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<char*> free_;
    std::deque<Filled> filled_;
    bool done_ = false;
    bool failed_ = false;
    int writeError_ = 0;
    std::thread thread_;
};

} // namespace

bool writeIncludedFiles(int out, const std::vector<IncludedFile>& files, PeChecksum* checksum,
                        std::string* error) {
    error->clear();
    const ChunkMemory memory;
    if (!memory.ready()) {
        *error = std::string("cannot set aside memory to copy the included files: ") + std::strerror(errno);
        return false;
    }
    ChunkWriter writer(out, memory, checksum);
    char* chunk = writer.acquire();
    size_t used = 0;
    // Hands the chunk over and takes the next; false once a write has failed.
    const auto nextChunk = [&] {
        writer.submit(chunk, used);
        chunk = writer.acquire();
        used = 0;
        return chunk != nullptr;
    };
    for (const IncludedFile& file : files) {
        FileDescriptor in(open(file.sourcePath.c_str(), O_RDONLY | O_CLOEXEC));
        struct stat status {};
        if (in.get() < 0 || fstat(in.get(), &status) != 0) {
            *error = "included file " + file.sourcePath + " cannot be opened: " + std::strerror(errno);
            return false;
        }
        posix_fadvise(in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
        std::string sizeField;
        payload::appendInt64(sizeField, status.st_size);
        if (kChunkSize - used < sizeField.size() && !nextChunk())
            return writer.finish();
        std::memcpy(chunk + used, sizeField.data(), sizeField.size());
        used += sizeField.size();
        for (uint64_t remaining = static_cast<uint64_t>(status.st_size); remaining > 0;) {
            if (used == kChunkSize && !nextChunk())
                return writer.finish();
            const size_t wanted = static_cast<size_t>(std::min<uint64_t>(remaining, kChunkSize - used));
            if (readFully(in.get(), chunk + used, wanted) != wanted) {
                *error =
                    "included file " + file.sourcePath + " could not be read completely (did it change?)";
                return false;
            }
            scrambleFast(chunk + used, wanted);
            used += wanted;
            remaining -= wanted;
        }
    }
    if (used > 0)
        writer.submit(chunk, used);
    return writer.finish();
}

} // namespace kestro::packer
