// The few Win32 calls that the launcher's payload store, included-file walk and tar reader make,
// declared for the host so that the fuzz targets run those readers whole. Files live in memory
// (win32_memory.h); nothing here touches the disk.
#pragma once

#include <cstddef>
#include <cstdint>

using BOOL = int;
using DWORD = unsigned long;
using UINT = unsigned int;
using HANDLE = void*;
using HMODULE = struct HINSTANCE__*;
using HWND = struct HWND__*;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;

struct LARGE_INTEGER {
    int64_t QuadPart;
};

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#define MAX_PATH 260
#define GENERIC_READ 0x80000000ul
#define GENERIC_WRITE 0x40000000ul
#define FILE_SHARE_READ 1ul
#define FILE_SHARE_WRITE 2ul
#define CREATE_ALWAYS 2ul
#define OPEN_EXISTING 3ul
#define FILE_ATTRIBUTE_NORMAL 0x80ul
#define FILE_BEGIN 0ul
#define FILE_CURRENT 1ul
#define FILE_END 2ul

HANDLE CreateFileA(const char* path, DWORD access, DWORD share, void* security, DWORD disposition,
                   DWORD flags, HANDLE templateFile);
BOOL ReadFile(HANDLE file, void* buffer, DWORD size, DWORD* read, void* overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD size, DWORD* written, void* overlapped);
BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, LARGE_INTEGER* position, DWORD method);
BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* size);
BOOL GetFileTime(HANDLE file, FILETIME* created, FILETIME* accessed, FILETIME* written);
BOOL SetFileTime(HANDLE file, const FILETIME* created, const FILETIME* accessed, const FILETIME* written);
BOOL CloseHandle(HANDLE handle);
BOOL DeleteFileA(const char* path);
BOOL CreateDirectoryA(const char* path, void* security);
BOOL RemoveDirectoryA(const char* path);
DWORD GetLastError();
DWORD GetTickCount();
DWORD GetCurrentDirectoryA(DWORD capacity, char* out);
LRESULT SendDlgItemMessageA(HWND window, int control, UINT message, WPARAM wParam, LPARAM lParam);
char* _itoa(int value, char* out, int radix);
