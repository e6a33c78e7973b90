// The configuration store: configuration texts and messages read from the payload appended to the
// executable. Loaded once on the main thread before any other thread starts, read-only afterwards.
// An absent id reads as empty text, 0 or black.
#pragma once

#include "support/native_file.h"

#include <cstddef>
#include <cstdint>

constexpr size_t kTextCapacity = 8192;

// Reads the payload of the running executable into the store. Ends the process with exit code 1 and
// a fixed message when the file cannot be opened, has no payload or the payload is truncated.
void loadPayload();

// The system's launcher knows where its payload is (windows/payload/payload_location.cpp,
// linux/payload/payload_location.cpp):

// Opens the running executable for reading its payload. Ends the process with exit code 1 and a
// fixed message when it cannot be opened.
NativeFile openPayloadFile();

// Moves file, the running executable, to where its payload starts: right after its image (on
// Windows after the last section's raw data in the section table, on Linux after the ELF image).
// Ends the process as a short read does when the headers are cut off.
void seekToPayload(NativeFile file);

// Copies configuration text id into out (capacity bytes, terminated). A text that does not fit is cut.
void getConfigText(int id, char* out, size_t capacity);

// The text of id read like atoi (leading blanks, optional sign, digits); 0 when absent.
int32_t getConfigNumber(int id);

// "r,g,b" read as a Win32 RGB value (red in the low byte); missing parts read as 0.
uint32_t getConfigColour(int id);

// Copies message id (UTF-16) into out (kTextCapacity units, terminated).
void getMessage(int id, wchar_t* out);

// File offset just after the message table, where the included files start.
int64_t fileSectionStart();

// File offset just after the last included file; 0 until the files have been extracted.
int64_t unextractedPosition();
void setUnextractedPosition(int64_t position);

// Payload readers on an open file. A short read ends the process with "Internal Error: read<Type>".
// readShort, readInt and readLong first print "error <the system's error code>".
int16_t readShort(NativeFile file);
int32_t readInt(NativeFile file);
int64_t readLong(NativeFile file);
// New texts of length bytes (readWString: length / 2 units) plus a terminator; free with delete[].
char* readString(NativeFile file);
wchar_t* readWString(NativeFile file);

// Parsing of configured numbers and colours, free of side effects.
int32_t parseConfigNumber(const char* text);
uint32_t parseConfigColour(const char* text);
