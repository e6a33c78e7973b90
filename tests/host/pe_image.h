// Minimal PE images for tests: just the headers the payload locator reads, plus section data.
#pragma once

#include "test_files.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kestro::testing {

struct SectionSpec {
    uint32_t rawOffset;
    uint32_t rawSize;
};

// An image with an MZ header, e_lfanew, the PE signature, a file header, an optional header of
// optionalHeaderSize zero bytes and one section header per entry, in the given table order. The file
// is padded with a recognisable pattern up to the furthest raw data end, then overlay is appended.
// With stubMarker, the first section large enough that ends by the end of the last one's data holds the
// launcher stub's marker, as a real stub does.
std::string buildPeImage(const std::vector<SectionSpec>& sections, const std::string& overlay = "",
                         uint16_t optionalHeaderSize = 224, bool stubMarker = true);

using test_support::readFile;
using test_support::writeFile;

// A jar (zip) with the given entries, each holding "x" unless contents gives its bytes. A
// manifestMainClass that is not empty goes into META-INF/MANIFEST.MF; "com.example.gui.Application"
// is written continued over two lines, as the jar tool writes long values.
void writeJar(const std::string& path, const std::vector<std::string>& entries,
              const std::string& manifestMainClass = "",
              const std::map<std::string, std::string>& contents = {});

// A fresh, empty directory for one test.
std::string makeTestDirectory();

} // namespace kestro::testing
