#include "support/registry_key.h"

#include <shlwapi.h>

#include <algorithm>
#include <vector>

namespace {

const REGSAM kWrapperAccess = KEY_ALL_ACCESS;
const REGSAM kHelperReadAccess = KEY_READ;
const REGSAM kHelperCreateAccess = KEY_READ | KEY_CREATE_SUB_KEY | KEY_SET_VALUE;
const int kEnumRetries = 4;

}  // namespace

CRegistryKey::CRegistryKey(HKEY root, const wchar_t* subKey) { Open(root, subKey); }

CRegistryKey::~CRegistryKey() { Close(); }

bool CRegistryKey::Open(HKEY root, const wchar_t* subKey)
{
    // Reopening must not leak the key held so far.
    Close();
    m_hRoot = root;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, subKey, 0, kWrapperAccess, &key) != ERROR_SUCCESS)
        return false;
    m_hKey = key;
    return true;
}

bool CRegistryKey::Create(const wchar_t* subKey)
{
    if (!m_hKey)
        return false;
    HKEY created = nullptr;
    if (RegCreateKeyExW(m_hKey, subKey, 0, nullptr, REG_OPTION_VOLATILE, kWrapperAccess, nullptr, &created,
                        nullptr) != ERROR_SUCCESS)
        return false;
    // The parent handle was ours alone; nothing else can close it later.
    RegCloseKey(m_hKey);
    m_hKey = created;
    return true;
}

void CRegistryKey::Close()
{
    if (m_hKey) {
        RegCloseKey(m_hKey);
        m_hKey = nullptr;
    }
}

bool CRegistryKey::DeleteValue(const wchar_t* name)
{
    return m_hKey && RegDeleteValueW(m_hKey, name) == ERROR_SUCCESS;
}

bool CRegistryKey::SetDwordValue(const wchar_t* name, DWORD value)
{
    return m_hKey && RegSetValueExW(m_hKey, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                    sizeof(value)) == ERROR_SUCCESS;
}

bool CRegistryKey::QueryDwordValue(const wchar_t* name, DWORD& value)
{
    if (!m_hKey)
        return false;
    DWORD data = 0;
    DWORD size = sizeof(data);
    if (RegQueryValueExW(m_hKey, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS)
        return false;
    value = data;
    return true;
}

bool CRegistryKey::QueryStringValue(const wchar_t* name, std::wstring& value)
{
    if (!m_hKey)
        return false;
    // The spare zero behind the 260 characters ends data stored without one.
    wchar_t text[MAX_PATH + 1] = {};
    DWORD size = MAX_PATH * sizeof(wchar_t);
    if (RegQueryValueExW(m_hKey, name, nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS)
        return false;
    size_t length = wcsnlen(text, MAX_PATH + 1);
    if (length >= MAX_PATH)
        return false;
    value.assign(text, length);
    return true;
}

bool CRegistryKey::ValueExists(const wchar_t* name)
{
    if (!m_hKey)
        return false;
    BYTE probe = 0;
    DWORD size = sizeof(probe);
    LONG status = RegQueryValueExW(m_hKey, name, nullptr, nullptr, &probe, &size);
    return status == ERROR_SUCCESS || status == ERROR_MORE_DATA;
}

bool CRegistryKey::FindValueNameByData(const wchar_t* text, std::wstring& name)
{
    if (!m_hKey || !text)
        return false;
    // Sized from the key's longest name and data, so one pair of buffers
    // serves every value; a value that grows meanwhile resizes them.
    std::vector<wchar_t> valueName;
    std::vector<wchar_t> data;
    auto sizeBuffers = [&]() {
        DWORD longestName = 0;
        DWORD longestData = 0;
        if (RegQueryInfoKeyW(m_hKey, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &longestName,
                             &longestData, nullptr, nullptr) != ERROR_SUCCESS)
            return false;
        valueName.assign(longestName + 1, L'\0');
        data.assign(longestData / sizeof(wchar_t) + 2, L'\0');  // room for a terminator after odd sizes
        return true;
    };
    if (!sizeBuffers())
        return false;

    int retries = 0;
    for (DWORD index = 0;;) {
        std::fill(valueName.begin(), valueName.end(), L'\0');
        std::fill(data.begin(), data.end(), L'\0');
        DWORD nameLength = static_cast<DWORD>(valueName.size());
        DWORD dataSize = static_cast<DWORD>((data.size() - 1) * sizeof(wchar_t));
        LONG status = RegEnumValueW(m_hKey, index, valueName.data(), &nameLength, nullptr, nullptr,
                                    reinterpret_cast<BYTE*>(data.data()), &dataSize);
        if (status == ERROR_NO_MORE_ITEMS)
            return false;
        if (status == ERROR_MORE_DATA && retries < kEnumRetries) {
            ++retries;
            if (!sizeBuffers())
                return false;
            continue;
        }
        retries = 0;
        if (status == ERROR_SUCCESS && StrCmpIW(data.data(), text) == 0) {
            name.assign(valueName.data(), nameLength);
            return true;
        }
        ++index;
    }
}

HKEY OpenOrCreateRegKey(HKEY root, const wchar_t* subKey, int openOnly)
{
    HKEY key = nullptr;
    LONG status = openOnly ? RegOpenKeyExW(root, subKey, 0, kHelperReadAccess, &key)
                           : RegCreateKeyExW(root, subKey, 0, nullptr, 0, kHelperCreateAccess, nullptr, &key, nullptr);
    return status == ERROR_SUCCESS ? key : nullptr;
}

LONG CloseRegKey(HKEY key) { return RegCloseKey(key); }

bool QueryRegString(HKEY key, const wchar_t* name, wchar_t* buffer, DWORD capacity)
{
    if (!buffer || capacity == 0 || capacity > MAXDWORD / sizeof(wchar_t))
        return false;
    DWORD type = REG_NONE;
    DWORD size = capacity * sizeof(wchar_t);
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return false;
    // Data may lack its terminator; the caller still gets a terminated text
    // or a failure, never a read past the buffer.
    DWORD characters = size / sizeof(wchar_t);
    if (characters > 0 && buffer[characters - 1] == L'\0')
        return true;
    if (characters >= capacity)
        return false;
    buffer[characters] = L'\0';
    return true;
}

bool QueryRegDword(HKEY key, const wchar_t* name, DWORD& value)
{
    DWORD type = REG_NONE;
    DWORD data = 0;
    DWORD size = sizeof(data);
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
        return false;
    value = data;
    return true;
}

bool SetRegString(HKEY key, const wchar_t* name, const wchar_t* text)
{
    if (!text)
        return false;
    DWORD size = static_cast<DWORD>(wcslen(text) * sizeof(wchar_t));
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), size) == ERROR_SUCCESS;
}

bool SetRegDword(HKEY key, const wchar_t* name, DWORD value)
{
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)) ==
           ERROR_SUCCESS;
}

bool RegKeyExists(HKEY root, const wchar_t* subKey)
{
    if (!subKey || !*subKey)
        return false;
    HKEY key = nullptr;
    if (RegOpenKeyW(root, subKey, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

bool RegValueExists(HKEY root, const wchar_t* subKey, const wchar_t* name)
{
    if (!subKey || !*subKey || !name || !*name)
        return false;
    DWORD type = REG_NONE;
    DWORD size = 0;
    DWORD status = SHGetValueW(root, subKey, name, &type, nullptr, &size);
    return status == ERROR_SUCCESS || status == ERROR_MORE_DATA;
}
