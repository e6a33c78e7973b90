// The runtime archive's entry rules on arbitrary headers: a name admitted is one the reader can
// write (relative, no way out, nothing Windows alters), and sizes come out in range.
#include "tar/tar_rules.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace kestro::tar;

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The input is a run of fields: one type byte, then a 100-byte name and a 12-byte size field.
    constexpr size_t kRecord = 1 + kNameLength + kSizeLength;
    EntryNames names;
    std::string path;
    for (size_t at = 0; at + kRecord <= size; at += kRecord) {
        const char* record = reinterpret_cast<const char*>(data + at);
        int32_t entrySize = -1;
        if (parseSizeField(record + 1 + kNameLength, &entrySize) == nullptr)
            check(entrySize >= 0);
        const bool directory = (record[0] & 1) != 0;
        if (names.admit(record + 1, kNameLength, directory, &path) != nullptr)
            continue;
        check(path.size() < kNameLength);
        check(directory || !path.empty());
        check(path.empty() || (path.front() != '\\' && path.back() != '\\'));
        check(path.find("\\\\") == std::string::npos && path.find(':') == std::string::npos);
        for (char c : path)
            check(c >= 0x20 && c < 0x7f && c != '/');
        // No component that climbs out or that Windows would cut.
        size_t begin = 0;
        while (begin <= path.size() && !path.empty()) {
            size_t stop = path.find('\\', begin);
            if (stop == std::string::npos)
                stop = path.size();
            const std::string component = path.substr(begin, stop - begin);
            check(!component.empty() && component.back() != '.' && component.back() != ' ');
            begin = stop + 1;
        }
    }
    return 0;
}
