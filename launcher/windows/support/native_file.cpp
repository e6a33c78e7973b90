#include "support/native_file.h"

#include <windows.h>

bool isOpenFile(NativeFile file) {
    return file != nullptr && file != INVALID_HANDLE_VALUE;
}

NativeFile openFileForReading(const char* path) {
    return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

NativeFile createFileForWriting(const char* path) {
    return CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void closeFile(NativeFile file) {
    CloseHandle(file);
}

bool readExactly(NativeFile file, void* buffer, size_t size) {
    DWORD read = 0;
    return ReadFile(file, buffer, static_cast<DWORD>(size), &read, nullptr) && read == size;
}

int64_t readSome(NativeFile file, void* buffer, size_t size) {
    DWORD read = 0;
    if (!ReadFile(file, buffer, static_cast<DWORD>(size), &read, nullptr))
        return -1;
    return read;
}

int64_t writeSome(NativeFile file, const void* buffer, size_t size) {
    DWORD written = 0;
    if (!WriteFile(file, buffer, static_cast<DWORD>(size), &written, nullptr))
        return -1;
    return written;
}

int64_t filePosition(NativeFile file) {
    LARGE_INTEGER zero{}, position{};
    SetFilePointerEx(file, zero, &position, FILE_CURRENT);
    return position.QuadPart;
}

bool seekFile(NativeFile file, int64_t offset) {
    LARGE_INTEGER target;
    target.QuadPart = offset;
    return SetFilePointerEx(file, target, nullptr, FILE_BEGIN) != 0;
}

bool skipInFile(NativeFile file, int64_t count) {
    LARGE_INTEGER distance;
    distance.QuadPart = count;
    return SetFilePointerEx(file, distance, nullptr, FILE_CURRENT) != 0;
}

int64_t fileSize(NativeFile file) {
    LARGE_INTEGER size{};
    return GetFileSizeEx(file, &size) ? size.QuadPart : -1;
}

void copyModificationTime(NativeFile source, NativeFile target) {
    FILETIME written;
    if (GetFileTime(source, nullptr, nullptr, &written))
        SetFileTime(target, nullptr, nullptr, &written);
}

unsigned long lastFileError() {
    return GetLastError();
}
