#include "app/game_fixture.h"

#include <gtest/gtest.h>
#include <shlwapi.h>
#include <tlhelp32.h>

#include <algorithm>

#include "support/unique.h"

namespace gametest {

const wchar_t* const kModuleNames[8] = {L"rs.dll",         L"fmodex.dll", L"atl80.dll",   L"LTMsg.dll",
                                        L"miniobject.dll", L"SndDrv.dll", L"msvcr71.dll", L"cshell.dll"};
const wchar_t* const kModuleStems[8] = {L"rs",         L"fmodex", L"atl80",   L"LTMsg",
                                        L"miniobject", L"SndDrv", L"msvcr71", L"cshell"};
const WORD kModuleIds[8] = {232, 234, 239, 240, 237, 235, 236, 238};

const wchar_t kMuiCacheNt6[] = L"Local Settings\\Software\\Microsoft\\Windows\\Shell\\MuiCache";
const wchar_t kMuiCacheNt5[] = L"Software\\Microsoft\\Windows\\ShellNoRoam\\MUICache";

namespace {

const wchar_t kSessionManager[] = L"System\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kPendingValue[] = L"PendingFileRenameOperations";

bool IsNt6()
{
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    return GetVersionExW(&info) && info.dwMajorVersion >= 6;
}

}  // namespace

std::string ExpectedModule(size_t index)
{
#ifdef CF_STORE_DIR
    std::string onDisk = cftest::ReadFileBytes(std::wstring(CF_STORE_DIR) + kModuleNames[index]);
    if (!onDisk.empty())
        return onDisk;
#endif
    HRSRC info = FindResourceW(nullptr, MAKEINTRESOURCEW(kModuleIds[index]), L"BIN");
    if (!info)
        return {};
    const char* data = static_cast<const char*>(LockResource(LoadResource(nullptr, info)));
    return data ? std::string(data, SizeofResource(nullptr, info)) : std::string();
}

std::string DamagedModule(size_t index)
{
    return "damaged copy of " + cftest::Narrow(kModuleNames[index]) + std::string(100 + 37 * index, 'x');
}

GameFolder::GameFolder(const std::wstring& subFolder, const wchar_t* launcher)
{
    m_path = m_root.Path() + subFolder;
    CreateDirectoryW(m_path.c_str(), nullptr);
    Fill(launcher);
}

GameFolder::GameFolder(size_t pathLength, const wchar_t* launcher)
{
    m_path = m_root.Path();
    while (m_path.size() + 1 < pathLength) {
        const size_t left = pathLength - m_path.size() - 1;
        m_path.append(left > 200 ? 100 : left, L'x') += L'\\';  // a name may have 255 characters
        CreateDirectoryW(m_path.c_str(), nullptr);
    }
    Fill(launcher);
}

void GameFolder::Fill(const wchar_t* launcher)
{
    if (launcher)
        cftest::WriteFileBytes(m_path + launcher, "MZ launcher");
    for (size_t i = 0; i < 8; ++i)
        cftest::WriteFileBytes(m_path + kModuleNames[i], DamagedModule(i));
}

std::wstring GameFolder::Lower() const
{
    std::wstring lower = m_path;
    CharLowerW(&lower[0]);
    return lower;
}

MuiCacheEntry::MuiCacheEntry(const std::wstring& valueName, HKEY root, const wchar_t* subKey, REGSAM view)
    : m_root(root), m_name(valueName), m_view(view)
{
    if (!m_root) {
        const bool nt6 = IsNt6();
        m_root = nt6 ? HKEY_CLASSES_ROOT : HKEY_CURRENT_USER;
        subKey = nt6 ? kMuiCacheNt6 : kMuiCacheNt5;
    }
    m_subKey = subKey;
    HKEY key = nullptr;
    LONG status =
        RegCreateKeyExW(m_root, m_subKey.c_str(), 0, nullptr, 0, KEY_SET_VALUE | m_view, nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS) {
        const wchar_t data[] = L"CrossFire";
        status = RegSetValueExW(key, m_name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data), sizeof(data));
        RegCloseKey(key);
    }
    // Without the record the program finds no game, or another one.
    if (status != ERROR_SUCCESS)
        ADD_FAILURE() << "MUICache value not written (error " << status << ")";
}

MuiCacheEntry::~MuiCacheEntry()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(m_root, m_subKey.c_str(), 0, KEY_SET_VALUE | m_view, &key) == ERROR_SUCCESS) {
        RegDeleteValueW(key, m_name.c_str());
        RegCloseKey(key);
    }
}

namespace {

// Whether a test program (test_*.exe) runs under that id now. Wine hands
// out small ids again soon, often to its own services, so the id alone
// does not tell.
bool IsTestProgramRunning(DWORD pid)
{
    HANDLE raw = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (raw == INVALID_HANDLE_VALUE)
        return true;  // cannot tell: keep the entry
    cf::UniqueHandle snapshot(raw);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry)) {
        if (entry.th32ProcessID == pid)
            return StrCmpNIW(entry.szExeFile, L"test_", 5) == 0;
    }
    return false;
}

void ForgetCrashedRunsIn(HKEY root, const wchar_t* subKey)
{
    HKEY raw = nullptr;
    if (RegOpenKeyExW(root, subKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &raw) != ERROR_SUCCESS)
        return;
    cf::UniqueKey key(raw);
    std::vector<std::pair<std::wstring, std::wstring>> stale;  // value, scratch folder
    wchar_t name[16384];
    for (DWORD i = 0;; ++i) {
        DWORD length = 16384;
        if (RegEnumValueW(raw, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        std::wstring folder;
        DWORD owner = 0;
        if (cftest::FindScratchDir(name, folder, owner) && owner != GetCurrentProcessId() &&
            !IsTestProgramRunning(owner))
            stale.emplace_back(name, folder);
    }
    for (const auto& entry : stale) {
        RegDeleteValueW(raw, entry.first.c_str());
        cftest::RemoveTree(entry.second);
    }
}

}  // namespace

void ForgetCrashedRuns()
{
    ForgetCrashedRunsIn(HKEY_CLASSES_ROOT, kMuiCacheNt6);
    ForgetCrashedRunsIn(HKEY_CURRENT_USER, kMuiCacheNt5);
}

PendingMoves::PendingMoves()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return;
    DWORD size = 0;
    if (RegQueryValueExW(key, kPendingValue, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
        m_saved.resize(size);
        m_existed = RegQueryValueExW(key, kPendingValue, nullptr, nullptr, m_saved.data(), &size) == ERROR_SUCCESS;
    }
    RegCloseKey(key);
}

PendingMoves::~PendingMoves()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return;
    if (m_existed)
        RegSetValueExW(key, kPendingValue, 0, REG_MULTI_SZ, m_saved.data(), static_cast<DWORD>(m_saved.size()));
    else
        RegDeleteValueW(key, kPendingValue);
    RegCloseKey(key);
}

std::vector<std::wstring> PendingMoves::Read()
{
    std::vector<std::wstring> entries;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return entries;
    DWORD size = 0;
    std::vector<wchar_t> data;
    if (RegQueryValueExW(key, kPendingValue, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS && size) {
        data.resize(size / sizeof(wchar_t) + 2, L'\0');
        RegQueryValueExW(key, kPendingValue, nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &size);
    }
    RegCloseKey(key);
    // Pairs of strings; an empty source string ends nothing (a deletion has
    // an empty destination), so walk by the value's size.
    size_t units = size / sizeof(wchar_t);
    for (size_t i = 0; i < units;) {
        std::wstring entry(&data[i]);
        entries.push_back(entry);
        i += entry.size() + 1;
    }
    while (!entries.empty() && entries.back().empty())
        entries.pop_back();
    return entries;
}

bool PendingMoves::Contains(const std::wstring& source, const std::wstring& destination)
{
    const std::vector<std::wstring> entries = Read();
    const std::wstring from = L"\\??\\" + source;
    const std::wstring to = L"!\\??\\" + destination;
    for (size_t i = 0; i + 1 < entries.size(); i += 2) {
        if (lstrcmpiW(entries[i].c_str(), from.c_str()) == 0 && lstrcmpiW(entries[i + 1].c_str(), to.c_str()) == 0)
            return true;
    }
    return false;
}

HeldFile::HeldFile(const std::wstring& path, bool load)
{
    // Bounded, so a holder orphaned by a crashed test program ends by itself.
    if (!m_child.Start(L"\"" + cftest::ToolPath(L"holdfile.exe") + L"\" \"" + path + L"\" 900000" +
                       (load ? L" load" : L"")))
        return;
    m_held = cftest::WaitForFile(path + L".held");
}

HeldFile::~HeldFile() { Release(); }

void HeldFile::Release()
{
    if (!m_child.Handle())
        return;
    m_child.Kill();
    m_child.Wait(10000);
    m_child = cftest::Child();
}

FileLengthGuard::FileLengthGuard(const std::wstring& path) : m_path(path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    m_existed = GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) != 0;
    if (m_existed) {
        m_length.LowPart = data.nFileSizeLow;
        m_length.HighPart = static_cast<LONG>(data.nFileSizeHigh);
    }
}

FileLengthGuard::~FileLengthGuard()
{
    if (!m_existed) {
        DeleteFileW(m_path.c_str());
        return;
    }
    HANDLE file = CreateFileW(m_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    if (SetFilePointerEx(file, m_length, nullptr, FILE_BEGIN))
        SetEndOfFile(file);
    CloseHandle(file);
}

::testing::AssertionResult SameBytes(const std::string& expected, const std::string& actual)
{
    if (expected == actual)
        return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < expected.size() && at < actual.size() && expected[at] == actual[at])
        ++at;
    const size_t show = 24;
    return ::testing::AssertionFailure()
           << "expected " << expected.size() << " bytes, got " << actual.size() << "; first difference at " << at
           << ": expected " << cftest::Hex(expected.data() + at, std::min(show, expected.size() - at)) << " got "
           << cftest::Hex(actual.data() + at, std::min(show, actual.size() - at));
}

std::string ExpectedRepairLines(const std::wstring& folder, unsigned failed, unsigned handled, bool restore)
{
    std::string lines;
    for (size_t i = 0; i < 8; ++i) {
        if (!(handled & (1u << i)))
            continue;
        const std::wstring path = folder + kModuleNames[i];
        char ansi[4 * MAX_PATH] = "";
        WideCharToMultiByte(936, 0, path.c_str(), -1, ansi, sizeof(ansi), nullptr, nullptr);
        lines += restore ? "\xbb\xb9\xd4\xad" : "\xd0\xde\xb8\xb4";  // 还原, 修复
        lines += "CrossFile" "\xce\xc4\xbc\xfe";
        lines += (failed & (1u << i)) ? "\xca\xa7\xb0\xdc\t" : "\t";  // 失败
        lines += ansi;
        lines += "\r\n";
    }
    return lines;
}

}  // namespace gametest
