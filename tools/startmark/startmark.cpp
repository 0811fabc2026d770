// Records that it was started: appends its own path and command line as a
// UTF-16 line to the file named by CF_START_MARK (if set). With "--wait" it
// then stays alive for a minute, so that it shows up as a running process.

#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
    wchar_t markPath[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"CF_START_MARK", markPath, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        HANDLE file = CreateFileW(markPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            wchar_t self[MAX_PATH] = L"";
            GetModuleFileNameW(nullptr, self, MAX_PATH);
            const wchar_t* line = GetCommandLineW();
            DWORD written = 0;
            WriteFile(file, self, static_cast<DWORD>(wcslen(self) * sizeof(wchar_t)), &written, nullptr);
            WriteFile(file, L"|", sizeof(wchar_t), &written, nullptr);
            WriteFile(file, line, static_cast<DWORD>(wcslen(line) * sizeof(wchar_t)), &written, nullptr);
            WriteFile(file, L"\n", sizeof(wchar_t), &written, nullptr);
            CloseHandle(file);
        }
    }
    for (int i = 1; i < argc; ++i) {
        if (wcscmp(argv[i], L"--wait") == 0)
            Sleep(60000);
    }
    return 0;
}
