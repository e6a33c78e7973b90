// The version rules on arbitrary texts: the order is an order (antisymmetric, reflexive), and the
// parsers stay inside their buffers.
#include "runtime/version_rules.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

int sign(int value) {
    return (value > 0) - (value < 0);
}

void check(bool condition) {
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Three texts separated by zero bytes: a version (or version line) and two bounds.
    std::vector<std::string> texts(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0 && texts.size() < 3)
            texts.emplace_back();
        else
            texts.back() += static_cast<char>(data[i]);
    }
    texts.resize(3);
    const char* a = texts[0].c_str();
    const char* b = texts[1].c_str();
    const char* c = texts[2].c_str();

    check(compareVersions(a, a) == 0);
    check(sign(compareVersions(a, b)) == -sign(compareVersions(b, a)));
    isVersionWithinBounds(a, b, c);
    isVersionKeyInRange(a, b, c);
    isPrereleaseVersion(a);
    isAbsoluteLocation(a);

    char version[16];
    if (parseVersionLine(a, version, sizeof version))
        check(std::string(version).size() < sizeof version);

    const char* cursor = a;
    char letter = 0;
    char value[8];
    for (int entries = 0; nextSearchEntry(&cursor, &letter, value, sizeof value); ++entries) {
        check(entries <= static_cast<int>(texts[0].size()));
        isLastPassEntry(letter, value);
    }
    return 0;
}
