// Host stand-in for the C runtime's directory calls; the tar reader writes real files through them.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

inline int _mkdir(const char* path) {
    return mkdir(path, 0755);
}

inline int _chdir(const char* path) {
    return chdir(path);
}
