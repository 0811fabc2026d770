#pragma once
// Registry access: an owning wrapper of one open key, and free helpers on a
// raw key or on a root plus sub-key path. Failures are reported as false
// or a null handle; no Windows error code is passed on.

#include <windows.h>

#include <string>

class CRegistryKey {
public:
    CRegistryKey() = default;
    CRegistryKey(HKEY root, const wchar_t* subKey);
    virtual ~CRegistryKey();
    CRegistryKey(const CRegistryKey&) = delete;
    CRegistryKey& operator=(const CRegistryKey&) = delete;

    // Opens with full access. A key already held is closed first.
    bool Open(HKEY root, const wchar_t* subKey);
    // Opens or creates a volatile sub-key of the held key (gone at the next
    // restart) and moves to it; false, with nothing created, when no key is held.
    bool Create(const wchar_t* subKey);
    void Close();
    bool IsClosed() const { return m_hKey == nullptr; }

    HKEY GetKey() const { return m_hKey; }
    HKEY GetRoot() const { return m_hRoot; }

    bool DeleteValue(const wchar_t* name);
    bool SetDwordValue(const wchar_t* name, DWORD value);
    // Any stored type is accepted; on failure `value` is unchanged.
    bool QueryDwordValue(const wchar_t* name, DWORD& value);
    // Any stored type is accepted; text longer than 259 characters fails.
    bool QueryStringValue(const wchar_t* name, std::wstring& value);
    // True for a value of any type and size, empty data included.
    bool ValueExists(const wchar_t* name);
    // The name of the first value (in enumeration order) whose data, read as
    // text, equals `text` without regard to case.
    bool FindValueNameByData(const wchar_t* text, std::wstring& name);

private:
    HKEY m_hKey = nullptr;
    HKEY m_hRoot = nullptr;  // for reference only; never closed here
};

// `openOnly` non-zero: open for reading; zero: open or create for reading,
// creating sub-keys and setting values. Close the result with CloseRegKey.
HKEY OpenOrCreateRegKey(HKEY root, const wchar_t* subKey, int openOnly);
LONG CloseRegKey(HKEY key);
// True only for REG_SZ data that fits `capacity` characters with its terminator.
bool QueryRegString(HKEY key, const wchar_t* name, wchar_t* buffer, DWORD capacity);
// True only for REG_DWORD data.
bool QueryRegDword(HKEY key, const wchar_t* name, DWORD& value);
// Stores the characters of `text` without a terminating zero.
bool SetRegString(HKEY key, const wchar_t* name, const wchar_t* text);
bool SetRegDword(HKEY key, const wchar_t* name, DWORD value);
bool RegKeyExists(HKEY root, const wchar_t* subKey);
// False for the default (unnamed) value.
bool RegValueExists(HKEY root, const wchar_t* subKey, const wchar_t* name);
