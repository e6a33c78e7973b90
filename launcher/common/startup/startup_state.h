// What the start-up decided, for the rest of the launch. Written on the main thread before the launch
// worker starts, only read afterwards, so it needs no lock. Free of Win32 types on purpose: the code
// that talks to the Java VM reads it and also builds on other platforms.
#pragma once

// Started with the "__qvx_lang_restart" marker: nothing is extracted, the current directory stays.
bool languageRestartMode();
void setLanguageRestartMode(bool on);

// The user asked to pick a Java runtime by hand ("-manual", "/manual", or a yes to the question
// after a failed start): a shipped runtime is not used and the search is skipped.
bool manualSelection();
void setManualSelection(bool on);

// The first character of configuration 2001: 'k' for the launcher kind, 's' for the installer kind,
// '\0' when not configured.
char applicationKind();
void setApplicationKind(char kind);

// The module instance handle of the executable (an HINSTANCE).
void* moduleInstance();
void setModuleInstance(void* instance);

// Where the included files were extracted (the current directory in language-restart mode); empty
// when there are none or before extraction. The text is copied.
const char* extractionDirectory();
void setExtractionDirectory(const char* directory);
