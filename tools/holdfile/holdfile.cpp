// Holds a file as a running program holds its modules, until killed or
// until the given number of milliseconds passes: open with share mode 0,
// or with "load" mapped as an image by LoadLibraryExW (a running game's
// modules: readable and renamable, but not replaceable or deletable).
// Usage: holdfile PATH [MS] [load] ; creates PATH.held once it holds.

#include <windows.h>

#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return 2;
    DWORD ms = argc > 2 ? static_cast<DWORD>(wcstoul(argv[2], nullptr, 10)) : INFINITE;
    const bool load = argc > 3 && wcscmp(argv[3], L"load") == 0;
    HANDLE file = INVALID_HANDLE_VALUE;
    HMODULE module = nullptr;
    if (load)
        module = LoadLibraryExW(argv[1], nullptr, 0);
    else
        file = CreateFileW(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (!module && file == INVALID_HANDLE_VALUE)
        return 1;
    std::wstring marker = std::wstring(argv[1]) + L".held";
    HANDLE mark = CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (mark != INVALID_HANDLE_VALUE)
        CloseHandle(mark);
    Sleep(ms);
    if (module)
        FreeLibrary(module);
    else
        CloseHandle(file);
    DeleteFileW(marker.c_str());
    return 0;
}
