// Temporary files of one pack, removed on every way out: normal return, error, and SIGINT, SIGTERM or
// SIGHUP, so that an interrupted pack of a large runtime leaves no hidden multi-gigabyte file behind.
#pragma once

#include <string>
#include <sys/types.h>

namespace kestro::packer {

// The mode a new executable gets: 0777 less the process's umask, as a compiler's output gets it.
mode_t executableMode();

class TemporaryFile {
  public:
    TemporaryFile();
    ~TemporaryFile(); // removes the file unless release() was called
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    // Creates an empty file named like ".kestro-pack-XXXXXX" in directory with executableMode() (a
    // finished launcher is an ordinary executable). Returns false and says why in error.
    bool create(const std::string& directory, std::string* error);

    const std::string& path() const { return path_; }

    // The file was renamed into place: it is no longer removed.
    void release();

  private:
    int slot_;
    std::string path_;
};

} // namespace kestro::packer
