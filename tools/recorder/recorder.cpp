// Stands in for a browser or an editor: registered as the shell's handler
// for a scheme or a file type, it appends the arguments it was started with
// as one UTF-8 line to %CF_RECORDER_LOG% (else recorder.log beside itself).

#include <windows.h>

#include <string>

namespace {

std::wstring LogPath()
{
    wchar_t path[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"CF_RECORDER_LOG", path, MAX_PATH);
    if (n > 0 && n < MAX_PATH)
        return path;
    n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring own(path, n < MAX_PATH ? n : 0);
    return own.substr(0, own.find_last_of(L'\\') + 1) + L"recorder.log";
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    std::wstring line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            line += L' ';
        line += argv[i];
    }
    line += L"\r\n";
    int size = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0, nullptr,
                                   nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), &bytes[0], size, nullptr, nullptr);

    HANDLE file = CreateFileW(LogPath().c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size() ? 0 : 1;
}
