#pragma once
// Helpers of the command tests: registry set-up that puts back what it
// changed, expected log bytes, and hosts that answer the stop poll.

#include "log/run_state.h"

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace cmdtest {

// UTF-16 to code page 936, as the scan log holds Chinese labels.
std::string Gbk(const std::wstring& text);

// A registry key tree as it was when the object was made (or its
// absence); put back when the object goes away. The test prefix keeps
// HKCR in HKLM\Software\Classes, so HKCR keys are saved through there.
class SavedKey {
public:
    SavedKey(HKEY root, const std::wstring& path);
    ~SavedKey();
    SavedKey(const SavedKey&) = delete;
    SavedKey& operator=(const SavedKey&) = delete;

    struct Value {
        std::wstring name;
        DWORD type;
        std::vector<BYTE> data;
    };
    struct Tree {
        std::vector<Value> values;
        std::vector<std::pair<std::wstring, Tree>> children;
    };

private:
    HKEY m_root;
    std::wstring m_path;
    bool m_existed = false;
    Tree m_tree;
};

// Saves several keys at once.
class SavedKeys {
public:
    void Add(HKEY root, const std::wstring& path) { m_keys.emplace_back(new SavedKey(root, path)); }

private:
    std::vector<std::unique_ptr<SavedKey>> m_keys;
};


// Every key the registry repairs and the one-key command may change.
void SaveRepairKeys(SavedKeys& saved);

bool KeyExists(HKEY root, const std::wstring& path);
void CreateKey(HKEY root, const std::wstring& path);
void DeleteTree(HKEY root, const std::wstring& path);
void SetText(HKEY root, const std::wstring& path, const wchar_t* value, const std::wstring& text,
             DWORD type = REG_SZ);
void SetNumber(HKEY root, const std::wstring& path, const wchar_t* value, DWORD number);
void SetRaw(HKEY root, const std::wstring& path, const wchar_t* value, DWORD type, const void* data, DWORD bytes);
void DeleteValue(HKEY root, const std::wstring& path, const wchar_t* value);
// The stored value; type REG_NONE when it is missing.
SavedKey::Value GetRaw(HKEY root, const std::wstring& path, const wchar_t* value);
std::wstring GetText(HKEY root, const std::wstring& path, const wchar_t* value);
DWORD GetNumber(HKEY root, const std::wstring& path, const wchar_t* value);

std::wstring WindowsDir();  // with a trailing backslash
std::wstring SystemDir();
std::wstring ProgramFilesDir();

// Answers false to the first `allowed` polls, then true.
class StopAfter : public ICommunication {
public:
    explicit StopAfter(int allowed) : m_allowed(allowed) {}
    bool IsStopRequested() override { return ++m_polls > m_allowed; }
    int Polls() const { return m_polls; }

private:
    int m_allowed;
    int m_polls = 0;
};

}  // namespace cmdtest
