// resource-probe <file>: reads a launcher's resources back through Windows' own functions and prints
// one line per fact: "dialog 103: yes", "icon group 1001: 3 images", "icon 48: 48x48",
// "icon 256: 256x256, centre 200,40,90", "picture 10000: 300x200, top left 30,120,210",
// "manifest 1: 1686 bytes", "checksum: as the file's" (or both values), "version: 1.2.3.4",
// "ProductName: <UTF-8 text>".
// Missing facts print "no".
#include <windows.h>

#include <imagehlp.h>

#include <cstdio>
#include <string>

namespace {

std::string utf8(const wchar_t* text) {
    char buffer[1024];
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, sizeof buffer, nullptr, nullptr);
    return n > 0 ? std::string(buffer) : std::string("?");
}

void printIcon(HMODULE module, int size) {
    HICON icon = static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(1001), IMAGE_ICON, size, size, 0));
    ICONINFO info{};
    BITMAP bitmap{};
    if (icon == nullptr || !GetIconInfo(icon, &info) || !GetObjectW(info.hbmColor, sizeof bitmap, &bitmap)) {
        std::printf("icon %d: no\n", size);
        return;
    }
    if (size < 256) {
        std::printf("icon %d: %ldx%ld\n", size, bitmap.bmWidth, bitmap.bmHeight);
    } else {
        HDC memory = CreateCompatibleDC(nullptr);
        HGDIOBJ old = SelectObject(memory, info.hbmColor);
        const COLORREF centre = GetPixel(memory, bitmap.bmWidth / 2, bitmap.bmHeight / 2);
        SelectObject(memory, old);
        DeleteDC(memory);
        std::printf("icon %d: %ldx%ld, centre %u,%u,%u\n", size, bitmap.bmWidth, bitmap.bmHeight,
                    GetRValue(centre), GetGValue(centre), GetBValue(centre));
    }
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    DestroyIcon(icon);
}

void printPicture(HMODULE module) {
    HBITMAP picture =
        static_cast<HBITMAP>(LoadImageW(module, MAKEINTRESOURCEW(10000), IMAGE_BITMAP, 0, 0, 0));
    BITMAP bitmap{};
    if (picture == nullptr || !GetObjectW(picture, sizeof bitmap, &bitmap)) {
        std::printf("picture 10000: no\n");
        return;
    }
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HGDIOBJ old = SelectObject(memory, picture);
    const COLORREF topLeft = GetPixel(memory, 0, 0);
    SelectObject(memory, old);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    DeleteObject(picture);
    std::printf("picture 10000: %ldx%ld, top left %u,%u,%u\n", bitmap.bmWidth, bitmap.bmHeight,
                GetRValue(topLeft), GetGValue(topLeft), GetBValue(topLeft));
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2)
        return 2;
    HMODULE module =
        LoadLibraryExW(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module == nullptr) {
        std::printf("load: no (%lu)\n", GetLastError());
        return 1;
    }
    for (int dialog : {103, 104})
        std::printf("dialog %d: %s\n", dialog,
                    FindResourceW(module, MAKEINTRESOURCEW(dialog), MAKEINTRESOURCEW(5)) ? "yes" : "no");
    HRSRC group = FindResourceW(module, MAKEINTRESOURCEW(1001), MAKEINTRESOURCEW(14));
    const auto* header =
        group ? static_cast<const WORD*>(LockResource(LoadResource(module, group))) : nullptr;
    if (header != nullptr)
        std::printf("icon group 1001: %u images\n", header[2]);
    else
        std::printf("icon group 1001: no\n");
    printIcon(module, 16);
    printIcon(module, 48);
    printIcon(module, 256);
    printPicture(module);
    HRSRC manifest = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    if (manifest != nullptr)
        std::printf("manifest 1: %lu bytes\n", SizeofResource(module, manifest));
    else
        std::printf("manifest 1: no\n");
    FreeLibrary(module);
    DWORD headerSum = 0, fileSum = 0;
    if (MapFileAndCheckSumW(argv[1], &headerSum, &fileSum) != CHECKSUM_SUCCESS)
        std::printf("checksum: no\n");
    else if (headerSum == fileSum)
        std::printf("checksum: as the file's\n");
    else
        std::printf("checksum: header %08lx, file %08lx\n", headerSum, fileSum);

    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(argv[1], &ignored);
    std::string block(size, '\0');
    if (size == 0 || !GetFileVersionInfoW(argv[1], 0, size, &block[0])) {
        std::printf("version: no\n");
        return 0;
    }
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (VerQueryValueW(&block[0], L"\\", reinterpret_cast<void**>(&fixed), &length) && fixed != nullptr)
        std::printf("version: %lu.%lu.%lu.%lu\n", fixed->dwFileVersionMS >> 16,
                    fixed->dwFileVersionMS & 0xffff, fixed->dwFileVersionLS >> 16,
                    fixed->dwFileVersionLS & 0xffff);
    for (const wchar_t* name : {L"ProductName", L"CompanyName", L"FileDescription", L"LegalCopyright",
                                L"OriginalFilename", L"ProductVersion"}) {
        wchar_t* text = nullptr;
        const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        if (VerQueryValueW(&block[0], path.c_str(), reinterpret_cast<void**>(&text), &length) &&
            text != nullptr)
            std::printf("%s: %s\n", utf8(name).c_str(), utf8(text).c_str());
        else
            std::printf("%s: no\n", utf8(name).c_str());
    }
    return 0;
}
