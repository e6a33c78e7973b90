// store-dump: loads the payload appended to itself into the configuration store and prints what the
// getters answer for each id given on the command line, so that a scenario can compare the store
// with what was packed. Texts are printed as hex (bytes of 8-bit texts, four digits per UTF-16
// unit), so that code pages and non-ASCII characters cannot blur the comparison:
//   config <id> text <hex> number <decimal> colour <8 hex digits>
//   message <id> <hex>
//   files at <offset>
// "--fatal TEXT" after the ids ends the run through fatalError(TEXT) once all is printed, so that a
// scenario sees where errors go after a complete load (configuration 107).
#include "payload/payload_store.h"
#include "support/errors.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
    loadPayload();
    std::vector<char> text(kTextCapacity);
    std::vector<wchar_t> message(kTextCapacity);
    const char* fatalText = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--fatal") == 0 && i + 1 < argc) {
            fatalText = argv[++i];
            continue;
        }
        int id = std::atoi(argv[i]);
        getConfigText(id, text.data(), text.size());
        std::printf("config %d text ", id);
        for (const char* c = text.data(); *c; ++c)
            std::printf("%02x", static_cast<unsigned char>(*c));
        std::printf(" number %d colour %08x\n", getConfigNumber(id), getConfigColour(id));
        getMessage(id, message.data());
        std::printf("message %d ", id);
        for (const wchar_t* c = message.data(); *c; ++c)
            std::printf("%04x", static_cast<unsigned>(*c));
        std::printf("\n");
    }
    std::printf("files at %d\n", static_cast<int>(fileSectionStart()));
    std::fflush(stdout);
    if (fatalText)
        fatalError(fatalText);
    return 0;
}
