#pragma once
// Redirects this program's calls of one imported Win32 function (its import
// address table), so a test can watch or cut short what the code under test
// asks of the system. Every static library of the program shares that table.

#include <windows.h>

#include <vector>

namespace cftest {

class ImportHook {
public:
    ImportHook(const char* dll, const char* function, const void* hook);
    ~ImportHook();
    ImportHook(const ImportHook&) = delete;
    ImportHook& operator=(const ImportHook&) = delete;

    bool Installed() const { return !m_slots.empty(); }
    // The real function, to be called from the hook.
    template <typename Function>
    Function Original() const
    {
        return reinterpret_cast<Function>(m_original);
    }

private:
    std::vector<void**> m_slots;
    void* m_original = nullptr;
};

// Hooked calls may come from several threads (the repair flushes its
// backups on threads of their own): a hook that keeps state holds this
// while it reads or changes it. One lock for every hook of the program.
class HookLock {
public:
    HookLock();
    ~HookLock();
    HookLock(const HookLock&) = delete;
    HookLock& operator=(const HookLock&) = delete;
};

// A disk that fills up in the middle of a write: while it lives, this
// module's WriteFile writes half of what it is given and fails with
// ERROR_DISK_FULL.
class DiskFullMidWrite {
public:
    DiskFullMidWrite();
    ~DiskFullMidWrite();
    bool Installed() const { return m_hook.Installed(); }

private:
    static BOOL WINAPI WriteHalf(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped);
    static DiskFullMidWrite* s_active;
    ImportHook m_hook;
};

}  // namespace cftest
