#include "repair/muicache.h"

#include <shlwapi.h>

#include <vector>

namespace {

const wchar_t kMuiCacheKeyNt6[] = L"Local Settings\\Software\\Microsoft\\Windows\\Shell\\MuiCache";
const wchar_t kMuiCacheKeyNt5[] = L"Software\\Microsoft\\Windows\\ShellNoRoam\\MUICache";

const DWORD kNameBufferUnits = 16384;

DWORD QueryMajorVersion()
{
    OSVERSIONINFOW info;
    ZeroMemory(&info, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);
    if (!GetVersionExW(&info))
        return 0;
    return info.dwMajorVersion;
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
    DWORD length = kNameBufferUnits - 1;
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
