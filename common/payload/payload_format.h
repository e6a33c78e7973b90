// The payload appended to a launcher executable: its byte layout, the ids of its records and the
// scrambling of included files. Both the launcher (reading) and the packer (writing) compile this.
//
// Layout, all integers little-endian, no padding:
//   uint32 magic
//   int32  configuration count, then per record: int32 id, int32 length, length bytes of 8-bit text
//   int32  message count, then per record: int32 id, int32 length in bytes, UTF-16LE text
//   included files, as many as configuration 2002 says: int64 size, then size scrambled bytes
//   further data, not read by the launcher
// The payload starts right after the raw data of the last section in the PE section table.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestro::payload {

constexpr uint32_t kMagic = 0xE8E413D5u;

// The launcher reads the names of the included files (configuration 2003) into this many bytes, its
// terminator included.
constexpr size_t kIncludedFileNamesCapacity = 8192;

// Every byte of an included file is stored XOR-ed with this key; sizes are stored plainly.
constexpr uint8_t kIncludedFileKey = 0xA7;

inline void scrambleBytes(uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i)
        data[i] ^= kIncludedFileKey;
}

// The included file that carries a shipped Java runtime (a gzip-compressed tar archive), and the name
// a downloaded runtime archive is saved under beside the other included files.
constexpr char kRuntimeArchiveName[] = "jre.tar.gz";

// Where the PE headers keep what is needed to find the end of the last section's raw data.
namespace pe {
constexpr uint32_t kSignatureOffsetField = 60;      // e_lfanew, int32, from the start of the file
constexpr uint32_t kNumberOfSectionsField = 6;      // int16, from the PE signature
constexpr uint32_t kSizeOfOptionalHeaderField = 20; // int16, from the PE signature
constexpr uint32_t kSectionTableOffset = 24;        // from the PE signature, plus SizeOfOptionalHeader
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kSizeOfRawDataField = 16;    // int32, from a section header
constexpr uint32_t kPointerToRawDataField = 20; // int32, from a section header

inline int64_t lastSectionHeaderOffset(int64_t signatureOffset, int numberOfSections,
                                       int sizeOfOptionalHeader) {
    return signatureOffset + kSectionTableOffset + sizeOfOptionalHeader +
           static_cast<int64_t>(numberOfSections - 1) * kSectionHeaderSize;
}
} // namespace pe

// Configuration ids (8-bit texts; "number" and "colour" ids are texts read as such).
namespace config {
enum : int32_t {
    ApplicationName = 101,
    ErrorLogEnabled = 102,
    ErrorLogFile = 103,
    OutputLogEnabled = 104,
    OutputLogFile = 105,
    JavaSideSwitch = 106,
    ExecutableType = 107,
    ClassPath = 121,
    MainClass = 122,
    VmParameters = 123,
    MainArguments = 124,
    DashJArgumentsAreVmOptions = 125,
    MinimumVersion = 126,
    MaximumVersion = 127,
    SearchSequence = 128,
    AllowPreRelease = 130,
    RequireJdk = 131,
    SplashWidth = 141,
    SplashHeight = 142,
    SplashClosesOnWindow = 145,
    WorkingDirectory = 146,
    SplashTopmost = 147,
    DownloadUrl = 150,
    RuntimeArchiveSize = 151,
    PreferredJvmVariant = 152,
    RuntimeIsPacked = 153,
    ErrorCaption = 1000,
    MessageNoJvm = 1001,
    MessageJvmInPathDamaged = 1002,
    MessageVariableNotWorkingJvm = 1003,
    MessageJvmAtDamaged = 1004,
    MessageJvmNotStarted = 1005,
    MessageFileNotFound = 1006,
    MessageWrongParameters = 1007,
    MessageVariableUndefined = 1008,
    MessageInternalError = 1009,
    MessageMainClassNotLoaded = 1010,
    MessageMainMethodNotFound = 1011,
    ApplicationKind = 2001,
    IncludedFileCount = 2002,
    IncludedFileNames = 2003,
    LocationFileBase = 10003,
    PathPrefix = 10004,
    SingleInstanceCommFile = 10005,
    SplashStatusX = 10109,
    SplashStatusY = 10110,
    SplashStatusText = 10111,
    SplashStatusFont = 10112,
    SplashStatusFontSize = 10113,
    SplashStatusColour = 10114,
    SplashStatusFontWeight = 10115,
    SplashVersionX = 10116,
    SplashVersionY = 10117,
    SplashVersionText = 10118,
    SplashVersionFont = 10119,
    SplashVersionFontSize = 10120,
    SplashVersionColour = 10121,
    SplashVersionFontWeight = 10122,
    SplashInQuietMode = 10123, // non-zero: the splash shows in quiet mode (-q, -c) too
    SingleInstanceHandOver = 10201,
    DownloadSha256 = 10202, // optional: 64 hex digits the archive at DownloadUrl must hash to
    // Set by the packer with a shipped runtime: the SHA-256 of its "jre.tar.gz" (64 hex digits), which
    // names the runtime's entry in the per-user runtime cache.
    RuntimeArchiveDigest = 10203,
    CacheRuntime = 10204,   // non-zero: a shipped runtime is unpacked once per user and used from the cache
    ShareClassData = 10205, // non-zero: the runtime keeps a class-data archive of the program per user
};
} // namespace config

// Message ids (UTF-16 texts).
namespace message {
enum : int32_t {
    DownloadStatus = 20001,
    InternetUnavailable = 20002,
    DownloadFailed = 20003,
    LocateDialogTitle = 20004,
    QuestionWithDownload = 20005,
    QuestionWithoutDownload = 20006,
    ProgressStatus = 20007,
    DownloadProgressFormat = 20008,
    DownloadConnecting = 20009,
    DownloadButton = 20010,
    LocateButton = 20011,
    CancelButton = 20012,
    DialogCaption = 20013,
    StartupTimeout = 20014,
    LastRunFailedQuestion = 20015,
    InstallationCorrupted = 20016,
    DiskFull = 20018,
    ApplicationError = 20019, // the program's main threw: followed by the exception's class and message
};
} // namespace message

} // namespace kestro::payload
