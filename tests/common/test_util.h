#pragma once
// Shared test helpers: scratch folders and registry keys that remove
// themselves, paths of the build's tool programs, child processes.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace cftest {

// A fresh folder under %TEMP% (path ends with '\'), removed with its
// contents when the object goes away.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::wstring& Path() const { return m_path; }
    std::wstring operator/(const std::wstring& name) const { return m_path + name; }

private:
    std::wstring m_path;
};

// Whether `path` lies inside a ScratchDir; if so gives that folder (ending
// with '\') and the id of the process that made it.
bool FindScratchDir(const std::wstring& path, std::wstring& folder, DWORD& owner);

// A fresh key under HKCU\Software\CFRepairTest\, deleted with its subtree.
class ScratchKey {
public:
    ScratchKey();
    ~ScratchKey();
    ScratchKey(const ScratchKey&) = delete;
    ScratchKey& operator=(const ScratchKey&) = delete;

    HKEY Get() const { return m_key; }
    const std::wstring& SubPath() const { return m_subPath; }  // relative to HKCU

private:
    HKEY m_key = nullptr;
    std::wstring m_subPath;
};

// A file planted where the system keeps its own (the Windows folder), for
// tests that must not rely on what Wine happens to install; removed again.
class PlantedFile {
public:
    PlantedFile(const std::wstring& folder, const wchar_t* stem, const wchar_t* extension);
    ~PlantedFile();
    PlantedFile(const PlantedFile&) = delete;
    PlantedFile& operator=(const PlantedFile&) = delete;

    const std::wstring& Name() const { return m_name; }  // a fresh name, no folder
    const std::wstring& Path() const { return m_path; }
    bool Made() const { return m_made; }

private:
    std::wstring m_name;
    std::wstring m_path;
    bool m_made = false;
};

// Wine 8 shows a Linux symbolic link to a folder as a reparse point (one to
// a file as a plain file) but cannot make links itself, so Linux's "ln" does,
// started by its \\?\unix\ path; that is no process to wait for, so its
// effect is awaited. Removed again on scope exit.
class UnixLink {
public:
    UnixLink(const std::wstring& link, const std::wstring& target);
    ~UnixLink();
    UnixLink(const UnixLink&) = delete;
    UnixLink& operator=(const UnixLink&) = delete;

private:
    std::wstring m_link;
};

// Sets or clears Linux's immutable attribute of a folder and waits until
// it shows: nothing can then be made, renamed or removed in it, by root too
// (the tests run as root, to whom a read-only mode means nothing).
bool SetImmutable(const std::wstring& folder, bool immutable);

// Sets Wine's Windows version for one program (by its file name), as
// winecfg's per-application setting does; removed again on scope exit.
class WineAppVersion {
public:
    WineAppVersion(const std::wstring& exeName, const std::wstring& version);
    ~WineAppVersion();
    WineAppVersion(const WineAppVersion&) = delete;
    WineAppVersion& operator=(const WineAppVersion&) = delete;
    bool Set() const { return m_set; }

private:
    std::wstring m_key;
    bool m_set = false;
};

// Wine's per-program DllOverrides: each DLL name (without ".dll") set to
// "native,builtin", so that Wine looks for it in the program's folder first
// as Windows does for any DLL that is not a known one.
class WineNativeFirst {
public:
    WineNativeFirst(const std::wstring& exeName, const std::vector<std::wstring>& dllNames);
    ~WineNativeFirst();
    WineNativeFirst(const WineNativeFirst&) = delete;
    WineNativeFirst& operator=(const WineNativeFirst&) = delete;
    bool Set() const { return m_set; }

private:
    std::wstring m_key;
    bool m_set = false;
};

// The names in a folder (ending in '\\'), in the order the file system
// lists them, "." and ".." left out.
std::vector<std::wstring> FolderNames(const std::wstring& folder);

bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
FILETIME ShiftedFileTime(const FILETIME& time, long long seconds);
// Moves the last write time back by the given seconds.
bool AgeFile(const std::wstring& path, int seconds);
std::string ReadFileBytes(const std::wstring& path);  // empty when missing
bool FileExists(const std::wstring& path);
// Polls for a file another process creates. The first process of a Wine
// session starts its services too, which can take many seconds.
bool WaitForFile(const std::wstring& path, DWORD ms = 60000);
void RemoveTree(const std::wstring& path);

// Folder of the running test program, with a trailing backslash.
std::wstring ExeDir();
// A program from the build's tools folder (built by tools/).
std::wstring ToolPath(const wchar_t* exeName);
// The product's exe of this build.
std::wstring ProductExe();

// Starts a program; the handle is owned by the caller (closed by Child).
class Child {
public:
    Child() = default;
    ~Child();
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;

    bool Start(const std::wstring& commandLine);
    DWORD Wait(DWORD ms = 30000);  // exit code, or STILL_ACTIVE on timeout
    void Kill();
    HANDLE Handle() const { return m_process; }
    DWORD Id() const { return m_id; }

private:
    HANDLE m_process = nullptr;
    DWORD m_id = 0;
};

// A fuzz test's seed and number of inputs: its own, or CF_FUZZ_SEED and
// CF_FUZZ_INPUTS from the environment (decimal or 0x hex), as the soak
// command sets them; CF_FUZZ_SEED=fresh draws a new seed from the clock.
// The constructor prints both on stdout.
class FuzzRun {
public:
    FuzzRun(const char* parser, uint64_t seed, int inputs);
    uint64_t Seed() const { return m_seed; }
    int Inputs() const { return m_inputs; }
    // Names the parser, the input and what makes it again.
    std::string At(int index) const;

private:
    std::string m_parser;
    uint64_t m_seed;
    int m_inputs;
};

std::string Hex(const void* data, size_t length);
std::string Narrow(const std::wstring& text);  // UTF-8, for messages

}  // namespace cftest
