// Where a Linux launcher's payload is: right after its ELF image (elf/elf_image.h), read from the
// process's own executable, whatever name it was started by.
#include "elf/elf_image.h"
#include "payload/payload_store.h"
#include "support/errors.h"
#include "support/log.h"

#include <string>

namespace {

constexpr char kOwnExecutable[] = "/proc/self/exe";

// The bytes of [offset, offset + size) of file, put at the same place of image.
bool readInto(NativeFile file, std::string& image, uint64_t offset, uint64_t size) {
    return seekFile(file, static_cast<int64_t>(offset)) && readExactly(file, &image[offset], size);
}

} // namespace

NativeFile openPayloadFile() {
    NativeFile file = openFileForReading(kOwnExecutable);
    if (!isOpenFile(file)) {
        logError("Could not open %s", kOwnExecutable);
        fatalError("Error opening the launcher's own executable.");
    }
    return file;
}

// Only the file header and the two tables are read; the rest of the image stays zeros, which the
// image's end does not depend on.
void seekToPayload(NativeFile file) {
    namespace elf = kestro::elf;
    std::string image(elf::kFileHeaderSize, '\0');
    std::string why;
    elf::Headers headers;
    uint64_t end = 0;
    const int64_t size = fileSize(file);
    bool found = readInto(file, image, 0, elf::kFileHeaderSize) && elf::readHeaders(image, &headers, &why);
    if (found && size >= 0 && headers.tablesEnd() <= static_cast<uint64_t>(size)) {
        image.resize(headers.tablesEnd());
        found = (headers.programHeaders == 0 ||
                 readInto(file, image, headers.programHeaders,
                          uint64_t{headers.programHeaderSize} * headers.programHeaderCount)) &&
                (headers.sectionHeaders == 0 ||
                 readInto(file, image, headers.sectionHeaders,
                          uint64_t{headers.sectionHeaderSize} * headers.sectionHeaderCount)) &&
                elf::imageEnd(image, headers, static_cast<uint64_t>(size), &end, &why);
    } else if (found) {
        found = false;
        why = "the header tables lie past the end of the file";
    }
    if (!found) {
        logError("no payload: %s", why.c_str());
        fatalError("Internal Error: ELF headers");
    }
    logLine("payload at offset %llu", static_cast<unsigned long long>(end));
    seekFile(file, static_cast<int64_t>(end));
}
