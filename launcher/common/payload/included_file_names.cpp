#include "payload/included_file_names.h"

#include <cstddef>
#include <cstring>

namespace {

bool climbsOut(const char* step, size_t length) {
    size_t dots = 0;
    for (size_t i = 0; i < length; ++i) {
        if (step[i] == '.')
            ++dots;
        else if (step[i] != ' ')
            return false;
    }
    return dots >= 2;
}

} // namespace

bool isSafeIncludedFileName(const char* name) {
    if (name[0] == '\0' || name[0] == '\\' || name[0] == '/' || std::strchr(name, ':') != nullptr)
        return false;
    for (const char* step = name; *step != '\0';) {
        const size_t length = std::strcspn(step, "\\/");
        if (climbsOut(step, length))
            return false;
        step += length;
        if (*step != '\0')
            ++step;
    }
    return true;
}
