#include "launch/variable_expansion.h"

#include <cstring>
#include <string>

namespace {
std::string runtimeHome;
} // namespace

void setJvmHome(const char* javaExecutable) {
    std::string path = javaExecutable;
    const size_t nameLength = path.size() >= 9 && path.compare(path.size() - 9, 9, "javaw.exe") == 0 ? 9 : 8;
    path.erase(path.size() >= nameLength ? path.size() - nameLength : 0);
    runtimeHome = path + "..";
}

const char* jvmHome() {
    return runtimeHome.c_str();
}
