// Where a Windows launcher's payload is: right after the raw data of the last section in its PE
// section table.
#include "payload/payload_format.h"
#include "payload/payload_store.h"
#include "support/errors.h"
#include "support/file_system.h"
#include "support/log.h"

NativeFile openPayloadFile() {
    const char* path = executablePath();
    NativeFile file = openFileForReading(path);
    if (!isOpenFile(file)) {
        logError("Could not open %s", path);
        fatalError("Error opening media file. Please move this file to an ascii-only path like c:\\");
    }
    return file;
}

void seekToPayload(NativeFile file) {
    namespace pe = kestro::payload::pe;
    seekFile(file, pe::kSignatureOffsetField);
    int64_t signature = static_cast<uint32_t>(readInt(file));
    seekFile(file, signature + pe::kNumberOfSectionsField);
    int sections = static_cast<uint16_t>(readShort(file));
    logLine("number of sections: %d", sections);
    seekFile(file, signature + pe::kSizeOfOptionalHeaderField);
    int optionalHeaderSize = static_cast<uint16_t>(readShort(file));
    logLine("size of optional headers: %d", optionalHeaderSize);
    int64_t header = pe::lastSectionHeaderOffset(signature, sections, optionalHeaderSize);
    logLine("resSectionTableStart: %d", static_cast<int>(header));
    seekFile(file, header + pe::kSizeOfRawDataField);
    int64_t rawDataSize = static_cast<uint32_t>(readInt(file));
    int64_t rawDataOffset = static_cast<uint32_t>(readInt(file));
    logLine("rawDataSize: %d, rawDataOffset: %d", static_cast<int>(rawDataSize),
            static_cast<int>(rawDataOffset));
    seekFile(file, rawDataOffset + rawDataSize);
}
