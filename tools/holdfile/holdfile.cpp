// Holds a file open with share mode 0 (as a running program holds its
// modules) until killed or until the given number of milliseconds passes.
// Usage: holdfile PATH [MS] ; creates PATH.held once the file is open.

#include <windows.h>

#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return 2;
    DWORD ms = argc > 2 ? static_cast<DWORD>(wcstoul(argv[2], nullptr, 10)) : INFINITE;
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    std::wstring marker = std::wstring(argv[1]) + L".held";
    HANDLE mark = CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (mark != INVALID_HANDLE_VALUE)
        CloseHandle(mark);
    Sleep(ms);
    CloseHandle(file);
    DeleteFileW(marker.c_str());
    return 0;
}
