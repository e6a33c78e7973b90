#include "pe_image.h"

#include "archives.h"
#include "payload/stub_marker.h"

#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <map>

namespace kestro::testing {
namespace {

void putLittleEndian(std::string& image, size_t offset, uint32_t value, int width) {
    for (int i = 0; i < width; ++i)
        image[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

} // namespace

std::string buildPeImage(const std::vector<SectionSpec>& sections, const std::string& overlay,
                         uint16_t optionalHeaderSize, bool stubMarker) {
    constexpr uint32_t signatureOffset = 0x80;
    const uint32_t sectionTable = signatureOffset + 24 + optionalHeaderSize;
    uint32_t end = sectionTable + static_cast<uint32_t>(sections.size()) * 40;
    for (const SectionSpec& section : sections)
        end = std::max(end, section.rawOffset + section.rawSize);

    std::string image(end, '\0');
    for (uint32_t i = sectionTable + static_cast<uint32_t>(sections.size()) * 40; i < end; ++i)
        image[i] = static_cast<char>('a' + i % 26);
    image[0] = 'M';
    image[1] = 'Z';
    putLittleEndian(image, 60, signatureOffset, 4);
    image.replace(signatureOffset, 4, std::string("PE\0\0", 4));
    putLittleEndian(image, signatureOffset + 4, 0x8664, 2); // machine: x86-64
    putLittleEndian(image, signatureOffset + 6, static_cast<uint32_t>(sections.size()), 2);
    putLittleEndian(image, signatureOffset + 20, optionalHeaderSize, 2);
    for (size_t i = 0; i < sections.size(); ++i) {
        const size_t header = sectionTable + i * 40;
        image.replace(header, 8, std::string(".sect") + static_cast<char>('0' + i) + std::string(2, '\0'));
        putLittleEndian(image, header + 16, sections[i].rawSize, 4);
        putLittleEndian(image, header + 20, sections[i].rawOffset, 4);
    }
    // Like a real stub's, the marker lies inside what a launcher keeps: the data before the end of the
    // last section header's raw data.
    const std::string marker = payload::kStubMarker;
    const uint32_t kept = sections.empty() ? 0 : sections.back().rawOffset + sections.back().rawSize;
    for (const SectionSpec& section : sections) {
        if (stubMarker && section.rawSize >= marker.size() && section.rawOffset + section.rawSize <= kept) {
            image.replace(section.rawOffset, marker.size(), marker);
            break;
        }
    }
    return image + overlay;
}

void writeJar(const std::string& path, const std::vector<std::string>& entries,
              const std::string& manifestMainClass, const std::map<std::string, std::string>& given) {
    std::map<std::string, std::string> contents;
    for (const std::string& entry : entries)
        contents[entry] = given.count(entry) != 0 ? given.at(entry) : "x";
    if (!manifestMainClass.empty())
        contents["META-INF/MANIFEST.MF"] =
            manifestMainClass == "com.example.gui.Application"
                ? "Manifest-Version: 1.0\r\nCreated-By: test\r\nMain-Class: com.example.gui.Applicat\r\n "
                  "ion\r\n\r\n"
                : "Manifest-Version: 1.0\nMain-Class: " + manifestMainClass + "\n";
    test_support::writeJar(path, contents);
}

std::string makeTestDirectory() {
    std::string pattern = ::testing::TempDir() + "kestro-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        ADD_FAILURE() << "cannot create a test directory";
    return pattern;
}

} // namespace kestro::testing
