#include "startup/startup_state.h"

#include <string>

namespace {
bool languageRestart = false;
bool manual = false;
char kind = '\0';
void* instance = nullptr;
std::string extraction;
} // namespace

bool languageRestartMode() {
    return languageRestart;
}
void setLanguageRestartMode(bool on) {
    languageRestart = on;
}

bool manualSelection() {
    return manual;
}
void setManualSelection(bool on) {
    manual = on;
}

char applicationKind() {
    return kind;
}
void setApplicationKind(char applicationKindCharacter) {
    kind = applicationKindCharacter;
}

void* moduleInstance() {
    return instance;
}
void setModuleInstance(void* moduleHandle) {
    instance = moduleHandle;
}

const char* extractionDirectory() {
    return extraction.c_str();
}
void setExtractionDirectory(const char* directory) {
    extraction = directory != nullptr ? directory : "";
}
