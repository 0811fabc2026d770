#pragma once
// Test set-up around a game folder: damaged modules, the clean copies the
// store should hold, the MUICache value that points at the folder, and the
// boot-time move list, each put back as it was.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/test_util.h"

namespace gametest {

// The eight module names, in the order of the restoration table.
extern const wchar_t* const kModuleNames[8];
extern const wchar_t* const kModuleStems[8];

// The clean module as the store holds it (the stand-in file from the build
// when it can be reached, else this executable's own resource).
std::string ExpectedModule(size_t index);
// Bytes of a damaged module, distinct per module.
std::string DamagedModule(size_t index);

// A game folder under a scratch folder: a launcher and eight damaged modules.
class GameFolder {
public:
    explicit GameFolder(const std::wstring& subFolder = L"CrossFire\\",
                        const wchar_t* launcher = L"crossfire.exe");
    // One whose path is `pathLength` characters long, its backslash included.
    GameFolder(size_t pathLength, const wchar_t* launcher);
    const std::wstring& Path() const { return m_path; }  // ends with '\'
    std::wstring File(const std::wstring& name) const { return m_path + name; }
    std::wstring Lower() const;

private:
    void Fill(const wchar_t* launcher);
    cftest::ScratchDir m_root;
    std::wstring m_path;
};

// Adds a value name to a MUICache key (the one for this Windows version
// unless a root and path are given) and removes it again. `view` may ask for
// the 64-bit registry, where the 64-bit shell of 64-bit Windows writes.
class MuiCacheEntry {
public:
    explicit MuiCacheEntry(const std::wstring& valueName, HKEY root = nullptr, const wchar_t* subKey = nullptr,
                           REGSAM view = 0);
    ~MuiCacheEntry();
    MuiCacheEntry(const MuiCacheEntry&) = delete;
    MuiCacheEntry& operator=(const MuiCacheEntry&) = delete;

private:
    HKEY m_root;
    std::wstring m_subKey;
    std::wstring m_name;
    REGSAM m_view;
};

extern const wchar_t kMuiCacheNt6[];
extern const wchar_t kMuiCacheNt5[];

// A test program that crashed leaves its MUICache value and game folder
// behind, and every later run would find that game first. Removes the
// values (and folders) that point into scratch folders of test programs
// that no longer run.
void ForgetCrashedRuns();

// PendingFileRenameOperations, saved at construction and restored after;
// read in the 64-bit registry, as the boot of 64-bit Windows reads it.
class PendingMoves {
public:
    PendingMoves();
    ~PendingMoves();
    PendingMoves(const PendingMoves&) = delete;
    PendingMoves& operator=(const PendingMoves&) = delete;

    static std::vector<std::wstring> Read();
    // True when the list holds the pair source -> destination (replace).
    static bool Contains(const std::wstring& source, const std::wstring& destination);

private:
    bool m_existed = false;
    std::vector<BYTE> m_saved;
};

// Holds a file in a helper process: open with share mode 0, or, with
// `load`, a DLL loaded by LoadLibraryExW as a running game holds it.
class HeldFile {
public:
    explicit HeldFile(const std::wstring& path, bool load = false);
    ~HeldFile();
    bool Held() const { return m_held; }
    void Release();

private:
    cftest::Child m_child;
    bool m_held = false;
};

// Puts a file back to the length it had (or removes it if it was absent):
// the scan log that runs append to.
class FileLengthGuard {
public:
    explicit FileLengthGuard(const std::wstring& path);
    ~FileLengthGuard();
    FileLengthGuard(const FileLengthGuard&) = delete;
    FileLengthGuard& operator=(const FileLengthGuard&) = delete;

private:
    std::wstring m_path;
    bool m_existed;
    LARGE_INTEGER m_length = {};
};

// Byte equality that reports sizes and the first difference, not the bytes.
::testing::AssertionResult SameBytes(const std::string& expected, const std::string& actual);
#define EXPECT_BYTES(expected, actual) EXPECT_TRUE(::gametest::SameBytes((expected), (actual)))

// The lines the restoration appends for `folder`, in code page 936: one per
// module of `handled` (a bit per table row), "failed" for those of `failed`;
// with `restore`, the lines of "/restore".
std::string ExpectedRepairLines(const std::wstring& folder, unsigned failed = 0, unsigned handled = 0xFF,
                                bool restore = false);

}  // namespace gametest
