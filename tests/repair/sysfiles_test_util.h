#pragma once
// Helpers for the system-file and hijack tests: the scratch current folder
// downloads land in, the loopback server's folder and port, a held file, the
// boot-time move list and the simulated reboot.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/test_util.h"

namespace sysfilestest {

// Makes a folder the current one for its lifetime.
class CurrentDir {
public:
    explicit CurrentDir(const std::wstring& folder)
    {
        wchar_t previous[MAX_PATH] = L"";
        GetCurrentDirectoryW(MAX_PATH, previous);
        m_previous = previous;
        SetCurrentDirectoryW(folder.c_str());
    }
    ~CurrentDir() { SetCurrentDirectoryW(m_previous.c_str()); }
    CurrentDir(const CurrentDir&) = delete;
    CurrentDir& operator=(const CurrentDir&) = delete;

private:
    std::wstring m_previous;
};

inline std::wstring TestDataDir() { return cftest::ExeDir() + L"..\\testdata\\"; }

// Port of the fixture's server; 0 when the fixture did not run.
inline unsigned ServerPort()
{
    std::string text = cftest::ReadFileBytes(TestDataDir() + L"www.port");
    return static_cast<unsigned>(strtoul(text.c_str(), nullptr, 10));
}

inline std::wstring ServerRoot()
{
    wchar_t url[64];
    swprintf(url, 64, L"http://127.0.0.1:%u", ServerPort());
    return url;
}

// Puts `bytes` where the server answers /sysfiles2/files/<tag>/<name>.
inline bool Serve(const std::wstring& tag, const std::wstring& name, const std::string& bytes)
{
    std::wstring folder = TestDataDir() + L"www\\sysfiles2";
    CreateDirectoryW(folder.c_str(), nullptr);
    folder += L"\\files";
    CreateDirectoryW(folder.c_str(), nullptr);
    folder += L"\\" + tag;
    CreateDirectoryW(folder.c_str(), nullptr);
    return cftest::WriteFileBytes(folder + L"\\" + name, bytes);
}

// Bytes that no other test (or earlier run) serves, so no cache answers.
inline std::string UniqueBytes(const char* label)
{
    static LONG counter = 0;
    char text[160];
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    snprintf(text, sizeof(text), "MZ clean copy of %s %lu %ld %lld", label, GetCurrentProcessId(),
             InterlockedIncrement(&counter), static_cast<long long>(now.QuadPart));
    return text;
}

inline std::wstring PendingRenames()
{
    HKEY key = nullptr;
    std::wstring value;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ,
                      &key) != ERROR_SUCCESS)
        return value;
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        size > 0) {
        value.resize(size / sizeof(wchar_t));
        RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type,
                         reinterpret_cast<BYTE*>(&value[0]), &size);
        for (wchar_t& c : value) {
            if (c == L'\0')
                c = L'|';  // the list's separators, made visible
        }
    }
    RegCloseKey(key);
    return value;
}

// Wine performs the pending boot-time moves on a simulated restart.
inline void SimulateReboot()
{
    cftest::Child boot;
    ASSERT_TRUE(boot.Start(L"wineboot.exe -r"));
    ASSERT_EQ(0u, boot.Wait(120000));
}

// A running holdfile that keeps `path` open with share mode 0.
inline bool HoldFile(cftest::Child& child, const std::wstring& path)
{
    if (!child.Start(L"\"" + cftest::ToolPath(L"holdfile.exe") + L"\" \"" + path + L"\" 60000"))
        return false;
    return cftest::WaitForFile(path + L".held");
}

inline std::string Ansi(const std::wstring& text)
{
    int size = WideCharToMultiByte(CP_THREAD_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                   nullptr, nullptr);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_THREAD_ACP, 0, text.c_str(), static_cast<int>(text.size()), &out[0], size, nullptr,
                        nullptr);
    return out;
}

}  // namespace sysfilestest
