// The options file's line rule, free of Win32 so that it is also built on the host (fuzz targets).
#include "launch/vm_options.h"

#include <cstring>

bool trimOptionsLine(char* line) {
    size_t length = std::strlen(line);
    while (length > 0 && (line[length - 1] == '\r' || line[length - 1] == '\n'))
        line[--length] = '\0';
    size_t start = 0;
    while (line[start] == ' ')
        ++start;
    std::memmove(line, line + start, length - start + 1);
    length -= start;
    while (length > 0 && line[length - 1] == ' ')
        line[--length] = '\0';
    return length > 0 && line[0] != '#';
}
