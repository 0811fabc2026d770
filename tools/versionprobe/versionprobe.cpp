// Writes what the version-dependent routines answer in this process to the
// file given as argument, as UTF-16 "major.minor.sp|tag|check".
// Run under another name with Wine's per-program version setting, it shows
// their answers on other Windows versions.

#include <windows.h>

#include <cstdio>
#include <string>

#include "repair/system_files.h"
#include "support/examine.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return 2;
    OSVERSIONINFOEXW info;
    ZeroMemory(&info, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);
    GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info));
    std::wstring tag;
    GetPlatformTag(tag);
    wchar_t line[256];
    swprintf(line, 256, L"%lu.%lu.%u|%ls|%d", static_cast<unsigned long>(info.dwMajorVersion),
             static_cast<unsigned long>(info.dwMinorVersion), static_cast<unsigned>(info.wServicePackMajor),
             tag.c_str(), CheckWindowsVersion() ? 1 : 0);
    HANDLE file = CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(wcslen(line) * sizeof(wchar_t)), &written, nullptr);
    CloseHandle(file);
    return 0;
}
