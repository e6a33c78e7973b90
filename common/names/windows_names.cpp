#include "names/windows_names.h"

#include <cstring>

namespace kestro::names {
namespace {

unsigned char upper(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
        return static_cast<unsigned char>(c - 0x20);
    switch (c) {
    case 0x9A: // š
    case 0x9C: // œ
    case 0x9E: // ž
        return static_cast<unsigned char>(c - 0x10);
    case 0xFF: // ÿ
        return 0x9F;
    default:
        return c;
    }
}

} // namespace

std::string folded(const std::string& name) {
    std::string result = name;
    for (char& c : result)
        c = static_cast<char>(upper(static_cast<unsigned char>(c)));
    return result;
}

bool isDeviceName(const std::string& name) {
    std::string base = folded(name.substr(0, name.find('.')));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (base == device)
            return true;
    // COM1 and LPT1, and from code page 1252 the superscripts of 1, 2 and 3 in place of the digit.
    const unsigned char digit = base.size() == 4 ? static_cast<unsigned char>(base[3]) : 0;
    return (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
           ((digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3);
}

const char* checkComponent(const std::string& name) {
    if (name.empty())
        return "is empty";
    if (name.size() > kMaxComponentLength)
        return "is longer than the 255 characters Windows allows in a name";
    for (char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || std::strchr("<>:\"/\\|?*", c) != nullptr)
            return "has a character Windows does not allow in a name";
    if (name.back() == '.' || name.back() == ' ')
        return "ends in a dot or a blank, which Windows drops";
    if (isDeviceName(name))
        return "names a Windows device";
    return nullptr;
}

} // namespace kestro::names
