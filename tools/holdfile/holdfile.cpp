// Holds a file as a running program holds its modules, until killed or
// until the given number of milliseconds passes: open with share mode 0,
// or with "load" mapped as an image by LoadLibraryExW (a running game's
// modules: readable and renamable, but not replaceable or deletable).
// Usage: holdfile PATH [MS] [load] ; creates PATH.held once it holds.
// Or: holdfile FOLDER MS swap ID ; at each signal of the event ID"try",
// tries to rename FOLDER and its parent away, each then replaced by a new
// folder, and signals ID"done". Ends after MS unsignalled; exits with the
// number of renames that succeeded.

#include <windows.h>

#include <cwchar>
#include <string>

int Swap(const std::wstring& folder, DWORD ms, const std::wstring& id)
{
    HANDLE again = CreateEventW(nullptr, FALSE, FALSE, (id + L"try").c_str());
    HANDLE done = CreateEventW(nullptr, FALSE, FALSE, (id + L"done").c_str());
    int moved = 0;
    while (WaitForSingleObject(again, ms) == WAIT_OBJECT_0) {
        for (const std::wstring& target : {folder, folder.substr(0, folder.rfind(L'\\'))}) {
            if (MoveFileW(target.c_str(), (target + L"~").c_str()) && ++moved)
                CreateDirectoryW(target.c_str(), nullptr);
        }
        SetEvent(done);
    }
    return moved;
}

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return 2;
    DWORD ms = argc > 2 ? static_cast<DWORD>(wcstoul(argv[2], nullptr, 10)) : INFINITE;
    if (argc > 4 && wcscmp(argv[3], L"swap") == 0)
        return Swap(argv[1], ms, argv[4]);
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
