// The payload's tables and the PE walk that finds them, on arbitrary bytes: no memory fault, and
// every table read back is written and read again unchanged.
#include "payload/payload_codec.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace kestro::payload;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::string error;
    size_t start = 0;
    if (findPayloadStart(bytes, &start, &error) && start > bytes.size())
        std::abort();

    PayloadTables tables;
    size_t end = 0;
    if (!decodeTables(bytes, 0, &tables, &end, &error))
        return 0;
    if (end > bytes.size())
        std::abort();
    std::string again;
    appendTables(again, tables);
    PayloadTables reread;
    size_t rereadEnd = 0;
    if (!decodeTables(again, 0, &reread, &rereadEnd, &error) || rereadEnd != again.size() ||
        reread.config != tables.config || reread.messages != tables.messages)
        std::abort();
    return 0;
}
