// The included-file names of configuration 2003, split as the launcher splits them: every name the
// launcher accepts, resolved as Windows resolves a path, stays inside the extraction directory.
#include "payload/included_file_names.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The depth below the directory after each step, with trailing dots and blanks dropped from a step.
bool staysInside(const std::string& name) {
    int depth = 0;
    size_t begin = 0;
    while (begin <= name.size()) {
        size_t stop = name.find_first_of("\\/", begin);
        if (stop == std::string::npos)
            stop = name.size();
        std::string step = name.substr(begin, stop - begin);
        while (!step.empty() && (step.back() == '.' || step.back() == ' '))
            step.pop_back();
        const std::string original = name.substr(begin, stop - begin);
        if (original.find_first_not_of(". ") == std::string::npos && original.find("..") != std::string::npos)
            --depth; // ".." and what Windows may cut to it
        else if (!step.empty())
            ++depth;
        if (depth < 0)
            return false;
        begin = stop + 1;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> names(data, data + size);
    names.push_back('\0');
    for (char* name = std::strtok(names.data(), ";"); name != nullptr; name = std::strtok(nullptr, ";")) {
        if (isSafeIncludedFileName(name) && (std::strchr(name, ':') != nullptr || !staysInside(name)))
            std::abort();
    }
    return 0;
}
