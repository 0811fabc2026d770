#include "repair/muicache.h"

#include <shlwapi.h>

#include <vector>

namespace {

const wchar_t kMuiCacheKeyNt6[] = L"Local Settings\\Software\\Microsoft\\Windows\\Shell\\MuiCache";
const wchar_t kMuiCacheKeyNt5[] = L"Software\\Microsoft\\Windows\\ShellNoRoam\\MUICache";

const wchar_t kClassesHiveSuffix[] = L"_Classes";

// The longest value name the registry stores is 16383 characters; the
// count handed to RegEnumValueW includes the terminator's unit.
const DWORD kNameBufferUnits = 16384;
const DWORD kHiveNameUnits = 256;

DWORD QueryMajorVersion()
{
    OSVERSIONINFOW info;
    ZeroMemory(&info, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);
    if (!GetVersionExW(&info))
        return 0;
    return info.dwMajorVersion;
}

bool IsClassesHive(const wchar_t* name)
{
    const size_t length = wcslen(name);
    const size_t suffix = ARRAYSIZE(kClassesHiveSuffix) - 1;
    return length > suffix && lstrcmpiW(name + length - suffix, kClassesHiveSuffix) == 0;
}

}  // namespace

bool OpenMuiCacheKey(cf::UniqueKey& key)
{
    HKEY root = HKEY_CURRENT_USER;
    const wchar_t* path = kMuiCacheKeyNt5;
    if (QueryMajorVersion() >= 6) {
        root = HKEY_CLASSES_ROOT;
        path = kMuiCacheKeyNt6;
    }
    HKEY opened = nullptr;
    if (RegCreateKeyW(root, path, &opened) != ERROR_SUCCESS)
        return false;
    key.Reset(opened);
    return true;
}

DWORD GetMuiCacheValueCount(HKEY key)
{
    wchar_t className[MAX_PATH] = L"";
    DWORD classLength = MAX_PATH;
    DWORD subKeys = 0, maxSubKey = 0, maxClass = 0, values = 0, maxValueName = 0, maxValueData = 0,
          securityLength = 0;
    FILETIME lastWrite;
    if (RegQueryInfoKeyW(key, className, &classLength, nullptr, &subKeys, &maxSubKey, &maxClass, &values,
                         &maxValueName, &maxValueData, &securityLength, &lastWrite) != ERROR_SUCCESS)
        return 0;
    return values;
}

bool ReadMuiCacheFolder(HKEY key, DWORD index, std::wstring& lowerFolder)
{
    std::vector<wchar_t> name(kNameBufferUnits, L'\0');
    DWORD length = kNameBufferUnits;
    // A failed read leaves the empty name, which the drive test rejects.
    RegEnumValueW(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
    name[kNameBufferUnits - 1] = L'\0';
    if (name[1] != L':' || name[2] != L'\\')
        return false;
    wchar_t* slash = StrRChrW(name.data(), nullptr, L'\\');
    if (!slash)
        return false;
    slash[1] = L'\0';
    CharLowerW(name.data());
    lowerFolder.assign(name.data());
    return true;
}

std::vector<std::wstring> ListLoadedUsersMuiCacheKeys()
{
    const bool nt6 = QueryMajorVersion() >= 6;
    std::vector<std::wstring> paths;
    wchar_t name[kHiveNameUnits];
    for (DWORD index = 0;; ++index) {
        DWORD length = kHiveNameUnits;
        const LONG status = RegEnumKeyExW(HKEY_USERS, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_MORE_DATA)
            continue;  // no hive name is that long
        if (status != ERROR_SUCCESS)
            break;
        if (IsClassesHive(name) == nt6)
            paths.push_back(std::wstring(name) + L"\\" + (nt6 ? kMuiCacheKeyNt6 : kMuiCacheKeyNt5));
    }
    return paths;
}

bool OpenLoadedUserMuiCacheKey(const std::wstring& path, cf::UniqueKey& key)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_USERS, path.c_str(), 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS)
        return false;
    key.Reset(opened);
    return true;
}
