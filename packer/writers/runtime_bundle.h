// A Java runtime shipped inside the launcher as "jre.tar.gz": written from a runtime directory, or an
// existing archive checked against what the launcher's tar reader can unpack. The reader knows only
// ustar regular files ('0') and directories ('5') with names of at most 99 bytes, stops at the first
// block without the ustar magic, reads sizes as signed 32-bit numbers and skips everything else.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kestro::packer {

struct RuntimeArchiveFacts {
    int64_t streamLength = 0; // uncompressed tar length: the launcher's progress divisor (configuration 151)
    bool packed = false;      // lib/rt.jar.pack is present: the launcher unpacks Pack200 (configuration 153)
    bool hasJavaExecutable = false; // bin/java.exe or bin/javaw.exe, in any letter case
    // Every bin/<folder>/jvm.dll (in any letter case), with the PE machine of each (0: not PE)
    std::vector<std::pair<std::string, uint16_t>> jvmLibraries;
};

// "x64", "x86" or the number in hex.
std::string machineName(uint16_t machine);

// Checks that the runtime described by facts starts on Windows under a launcher for machine: a
// bin\java.exe or bin\javaw.exe, and a jvm.dll of that machine in one of the folders the launcher
// tries, preferredVariant (configuration 152, may be empty) or one of runtime/runtime_layout.h's,
// letter case aside as on Windows. Returns false and says why in error.
bool checkWindowsRuntime(const RuntimeArchiveFacts& facts, uint16_t machine,
                         const std::string& preferredVariant, std::string* error);

// Writes the tree under runtimeDirectory to archivePath as a gzip-compressed ustar archive, file by
// file in chunks: entries sorted by name, each directory before its contents, mode 0755 or 0644, owner
// 0, time 0, no gzip time stamp, so the same tree always gives the same bytes. Returns false and says
// why in error for a name of 100 bytes or more (with the trailing '/' of a directory), a name with
// characters other than printable ASCII or with one Windows forbids, a file of 2 GiB or more, an
// archive of 2 GiB or more uncompressed, a symbolic link or special file, a tree without regular
// files or without a top-level bin directory, Pack200 files the launcher would not unpack, or an I/O
// failure. archivePath may then hold a partial archive.
bool writeRuntimeArchive(const std::string& runtimeDirectory, const std::string& archivePath,
                         RuntimeArchiveFacts* facts, std::string* error);

// Reads archivePath through and checks that the launcher unpacks it whole: gzip-compressed, ustar
// headers up to the end blocks, only regular files, directories and pax headers that do not rename,
// names below 100 bytes that stay inside the runtime directory (no leading '/', no ':', no ".."), no
// ustar name prefix, octal sizes below 2 GiB, data present in full, and the rules above on regular
// files, bin and Pack200 files. Returns false and says why in error.
bool checkRuntimeArchive(const std::string& archivePath, RuntimeArchiveFacts* facts, std::string* error);

// The SHA-256 of the file's bytes as 64 lower-case hex digits, which launchers key their per-user
// runtime cache by (configuration 10203). Returns false and says why in error when it cannot be read.
bool archiveDigest(const std::string& archivePath, std::string* hex, std::string* error);

} // namespace kestro::packer
