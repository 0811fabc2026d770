#include "command_test_util.h"

#include <shlobj.h>
#include <shlwapi.h>

namespace cmdtest {

namespace {

void Capture(HKEY key, SavedKey::Tree& tree)
{
    for (DWORD i = 0;; ++i) {
        wchar_t name[16384];
        DWORD nameChars = ARRAYSIZE(name);
        DWORD type = 0;
        DWORD bytes = 0;
        if (RegEnumValueW(key, i, name, &nameChars, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS)
            break;
        SavedKey::Value value{std::wstring(name, nameChars), type, std::vector<BYTE>(bytes)};
        DWORD got = bytes;
        RegQueryValueExW(key, value.name.c_str(), nullptr, &type, bytes ? value.data.data() : nullptr, &got);
        tree.values.push_back(std::move(value));
    }
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD chars = ARRAYSIZE(name);
        if (RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        HKEY child = nullptr;
        SavedKey::Tree childTree;
        if (RegOpenKeyExW(key, name, 0, KEY_READ, &child) == ERROR_SUCCESS) {
            Capture(child, childTree);
            RegCloseKey(child);
        }
        tree.children.emplace_back(name, std::move(childTree));
    }
}

void Rebuild(HKEY parent, const std::wstring& path, const SavedKey::Tree& tree)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(parent, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return;
    for (const SavedKey::Value& value : tree.values)
        RegSetValueExW(key, value.name.c_str(), 0, value.type, value.data.empty() ? nullptr : value.data.data(),
                       static_cast<DWORD>(value.data.size()));
    for (const auto& child : tree.children)
        Rebuild(key, child.first, child.second);
    RegCloseKey(key);
}

std::wstring Folder(const wchar_t* path)
{
    std::wstring folder = path;
    if (!folder.empty() && folder.back() != L'\\')
        folder += L'\\';
    return folder;
}

}  // namespace

std::string Gbk(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    int bytes = WideCharToMultiByte(936, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(936, 0, text.data(), static_cast<int>(text.size()), &result[0], bytes, nullptr, nullptr);
    return result;
}

SavedKey::SavedKey(HKEY root, const std::wstring& path) : m_root(root), m_path(path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
        m_existed = true;
        Capture(key, m_tree);
        RegCloseKey(key);
    }
}

SavedKey::~SavedKey()
{
    SHDeleteKeyW(m_root, m_path.c_str());
    if (m_existed)
        Rebuild(m_root, m_path, m_tree);
}

void SaveRepairKeys(SavedKeys& saved)
{
    const HKEY hklm = HKEY_LOCAL_MACHINE;
    const HKEY hkcu = HKEY_CURRENT_USER;
    saved.Add(hklm, L"SOFTWARE\\Classes\\CLSID\\{20D04FE0-3AEA-1069-A2D8-08002B30309D}");
    saved.Add(hklm, L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MountPoints2");
    saved.Add(hkcu, L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MountPoints2");
    saved.Add(hklm, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced");
    saved.Add(hkcu, L"Software\\Microsoft\\Windows\\CurrentVersion\\Policies");
    saved.Add(hkcu, L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows");
    saved.Add(hklm, L"SOFTWARE\\Classes\\Applications\\iexplore.exe");
    saved.Add(hklm, L"SOFTWARE\\Classes\\CLSID\\{871C5380-42A0-1069-A2EA-08002B30309D}");
    saved.Add(hklm, L"SOFTWARE\\Classes\\Folder");
    saved.Add(hklm, L"SOFTWARE\\Classes\\Drive");
    saved.Add(hklm, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon");
    for (const wchar_t* name : {L"batfile", L"chm.file", L"inffile", L"inifile", L"txtfile", L"hlpfile", L"cmdfile",
                                L"regfile", L"lnkfile", L".lnk"})
        saved.Add(hklm, std::wstring(L"SOFTWARE\\Classes\\") + name);
    saved.Add(hkcu, L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts");
}

bool KeyExists(HKEY root, const std::wstring& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

void CreateKey(HKEY root, const std::wstring& path)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) == ERROR_SUCCESS)
        RegCloseKey(key);
}

void DeleteTree(HKEY root, const std::wstring& path) { SHDeleteKeyW(root, path.c_str()); }

void SetRaw(HKEY root, const std::wstring& path, const wchar_t* value, DWORD type, const void* data, DWORD bytes)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExW(key, value, 0, type, static_cast<const BYTE*>(data), bytes);
    RegCloseKey(key);
}

void SetText(HKEY root, const std::wstring& path, const wchar_t* value, const std::wstring& text, DWORD type)
{
    SetRaw(root, path, value, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void SetNumber(HKEY root, const std::wstring& path, const wchar_t* value, DWORD number)
{
    SetRaw(root, path, value, REG_DWORD, &number, sizeof(number));
}

void DeleteValue(HKEY root, const std::wstring& path, const wchar_t* value)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return;
    RegDeleteValueW(key, value);
    RegCloseKey(key);
}

SavedKey::Value GetRaw(HKEY root, const std::wstring& path, const wchar_t* value)
{
    SavedKey::Value result{value ? value : L"", REG_NONE, {}};
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return result;
    DWORD type = 0;
    DWORD bytes = 0;
    if (RegQueryValueExW(key, value, nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS) {
        result.data.resize(bytes);
        if (RegQueryValueExW(key, value, nullptr, &type, bytes ? result.data.data() : nullptr, &bytes) ==
            ERROR_SUCCESS)
            result.type = type;
        result.data.resize(bytes);
    }
    RegCloseKey(key);
    return result;
}

std::wstring GetText(HKEY root, const std::wstring& path, const wchar_t* value)
{
    SavedKey::Value raw = GetRaw(root, path, value);
    if (raw.type != REG_SZ && raw.type != REG_EXPAND_SZ)
        return L"<missing>";
    std::wstring text(reinterpret_cast<const wchar_t*>(raw.data.data()), raw.data.size() / sizeof(wchar_t));
    if (!text.empty() && text.back() == L'\0')
        text.pop_back();
    else
        text += L"<unterminated>";
    return text;
}

DWORD GetNumber(HKEY root, const std::wstring& path, const wchar_t* value)
{
    SavedKey::Value raw = GetRaw(root, path, value);
    if (raw.type != REG_DWORD || raw.data.size() != 4)
        return 0xDEADBEEF;
    DWORD number = 0;
    memcpy(&number, raw.data.data(), 4);
    return number;
}

std::wstring WindowsDir()
{
    wchar_t path[MAX_PATH] = {};
    GetWindowsDirectoryW(path, MAX_PATH);
    return Folder(path);
}

std::wstring SystemDir()
{
    wchar_t path[MAX_PATH] = {};
    GetSystemDirectoryW(path, MAX_PATH);
    return Folder(path);
}

std::wstring ProgramFilesDir()
{
    wchar_t path[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, path);
    return Folder(path);
}

}  // namespace cmdtest
