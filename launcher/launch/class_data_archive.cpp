#include "launch/class_data_archive.h"

#include <cstdint>
#include <cstring>
#include <sstream>

namespace {

constexpr int kFirstDynamicArchive = 19;
constexpr int kFirstAheadOfTimeCache = 25;

// The option names, after "-XX:" and a "+" or "-" for the switches, that decide about sharing.
const char* const kSharingOptions[] = {"SharedArchiveFile=",
                                       "ArchiveClassesAtExit=",
                                       "AutoCreateSharedArchive",
                                       "UseSharedSpaces",
                                       "AOTCache=",
                                       "AOTCacheOutput=",
                                       "AOTMode=",
                                       "AOTConfiguration="};

bool choosesSharing(const char* option) {
    if (std::strncmp(option, "-Xshare", 7) == 0)
        return true;
    if (std::strncmp(option, "-XX:", 4) != 0)
        return false;
    const char* name = option + 4;
    if (*name == '+' || *name == '-')
        ++name;
    for (const char* sharing : kSharingOptions) {
        const size_t length = std::strlen(sharing);
        // A switch is the whole name; a value option its name and "=".
        if (std::strncmp(name, sharing, length) == 0 && (sharing[length - 1] == '=' || name[length] == '\0'))
            return true;
    }
    return false;
}

// FNV-1a over text from basis: enough to tell texts apart, which is all a name must do here. The
// runtime checks an archive itself before it maps it.
uint64_t textHash(const std::string& text, uint64_t basis) {
    uint64_t hash = basis;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

void replaceEvery(std::string& text, const std::string& from, const std::string& to) {
    if (from.empty())
        return;
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

} // namespace

int javaFeatureVersion(const char* version) {
    int first = 0;
    const char* c = version;
    for (; *c >= '0' && *c <= '9' && first < 10000; ++c)
        first = first * 10 + (*c - '0');
    if (c == version)
        return 0;
    // "1.8.0_45": the old scheme names the feature second.
    if (first == 1 && *c == '.')
        return javaFeatureVersion(c + 1);
    return first;
}

std::string releaseVersion(const std::string& releaseText) {
    static const char kKey[] = "JAVA_VERSION=";
    std::istringstream lines(releaseText);
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, sizeof kKey - 1, kKey) != 0)
            continue;
        std::string value = line.substr(sizeof kKey - 1);
        while (!value.empty() && (value.back() == '\r' || value.back() == ' '))
            value.pop_back();
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        return value;
    }
    return std::string();
}

ClassDataArchive classDataArchiveFor(int featureVersion, bool outputSeen) {
    if (featureVersion >= kFirstAheadOfTimeCache && !outputSeen)
        return ClassDataArchive::AheadOfTime;
    if (featureVersion >= kFirstDynamicArchive)
        return ClassDataArchive::Dynamic;
    return ClassDataArchive::None;
}

const char* classDataArchiveExtension(ClassDataArchive kind) {
    switch (kind) {
    case ClassDataArchive::Dynamic:
        return ".jsa";
    case ClassDataArchive::AheadOfTime:
        return ".aot";
    case ClassDataArchive::None:
        break;
    }
    return "";
}

bool optionsChooseClassDataSharing(const VmOptionList& options) {
    for (const char* option : options)
        if (option != nullptr && choosesSharing(option))
            return true;
    return false;
}

bool textChoosesClassDataSharing(const std::string& options) {
    std::istringstream words(options);
    for (std::string word; words >> word;)
        if (choosesSharing(word.c_str()))
            return true;
    return false;
}

std::vector<std::string> classDataSharingOptions(ClassDataArchive kind, const std::string& path,
                                                 bool exists) {
    switch (kind) {
    case ClassDataArchive::Dynamic:
        // Made anew at an exit whenever it is missing or no longer fits; the runtime's reports about
        // that (and about classes it leaves out) are nothing for the program's output.
        return {"-XX:SharedArchiveFile=" + path, "-XX:+AutoCreateSharedArchive", "-Xlog:cds*=off"};
    case ClassDataArchive::AheadOfTime:
        if (exists)
            return {"-XX:AOTCache=" + path};
        return {"-XX:AOTCacheOutput=" + path};
    case ClassDataArchive::None:
        break;
    }
    return {};
}

std::string classDataArchiveKey(const std::string& runtime, const std::string& program,
                                const std::string& classPath, const std::string& extractionDirectory) {
    std::string stablePath = classPath;
    replaceEvery(stablePath, extractionDirectory, "<extraction directory>");
    // Each part ends with a zero byte, so that no two different splits read alike.
    const std::string whole = runtime + '\0' + program + '\0' + stablePath + '\0';
    std::string name;
    for (uint64_t hash : {textHash(whole, 0xcbf29ce484222325ULL), textHash(whole, 0x84222325cbf29ce4ULL)})
        for (int shift = 60; shift >= 0; shift -= 4)
            name += "0123456789abcdef"[(hash >> shift) & 0xf];
    return name;
}
