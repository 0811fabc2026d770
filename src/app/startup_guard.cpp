#include "app/startup_guard.h"

#include "support/file_ops.h"

#include <windows.h>

namespace {

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

const wchar_t kKernel32[] = L"kernel32.dll";
const wchar_t* const kRedirectionSuffixes[] = {L".manifest", L".local"};

}  // namespace

// None of these is a known DLL on both XP SP3 and 7, and each is loaded by a
// system DLL by bare name in a program like this one: uxtheme (themed
// controls; XP loads it for every themed window), dwmapi (uxtheme and the
// window manager's frames on Vista and 7), version and psapi (not known on 7
// and on XP respectively; loaded by the shell, and by us), cryptbase and
// cryptsp (advapi32's random numbers and crypto on 7), ntmarta (advapi32's
// security calls), imm32, msctf, lpk and usp10 (user32's input and text
// layout; not known on XP), clbcatq (ole32's class store; not known on XP),
// propsys and profapi (shell32 and the profile on 7), and apphelp (the
// compatibility shims). A name missing from a system is skipped.
const wchar_t* const kPreloadedDlls[] = {
    L"uxtheme.dll", L"dwmapi.dll", L"version.dll", L"psapi.dll",   L"cryptbase.dll", L"cryptsp.dll",
    L"ntmarta.dll", L"imm32.dll",  L"msctf.dll",   L"lpk.dll",     L"usp10.dll",     L"clbcatq.dll",
    L"propsys.dll", L"profapi.dll", L"apphelp.dll",
};
const size_t kPreloadedDllCount = ARRAYSIZE(kPreloadedDlls);

void PreloadSystemDlls()
{
    std::wstring folder;
    if (!GetSystemDirWithSlash(folder))
        return;
    // Kept loaded for the life of the process: a later bare-name load then
    // finds the module already there and searches no folder. The altered
    // search path makes their own dependencies come from the system folder.
    for (const wchar_t* name : kPreloadedDlls)
        ::LoadLibraryExW((folder + name).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

void RestrictDllSearch()
{
    using SetDllDirectoryProc = BOOL(WINAPI*)(LPCWSTR);
    using SetDefaultDllDirectoriesProc = BOOL(WINAPI*)(DWORD);
    const HMODULE kernel = ::GetModuleHandleW(kKernel32);
    // XP SP1 and later: an empty string drops the current folder from the
    // search; the program's folder stays first.
    const auto setDllDirectory =
        reinterpret_cast<SetDllDirectoryProc>(reinterpret_cast<void*>(::GetProcAddress(kernel, "SetDllDirectoryW")));
    if (setDllDirectory)
        setDllDirectory(L"");
    // Windows 7 with KB2533623 and later: the system folder alone.
    const auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesProc>(
        reinterpret_cast<void*>(::GetProcAddress(kernel, "SetDefaultDllDirectories")));
    if (setDefault)
        setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Also where that exists: a system DLL that asks for its own search
    // (delay-loads, explicit search flags) is not bound by the default.
    PreloadSystemDlls();
}

bool HasLoadRedirection(const std::wstring& exePath)
{
    for (const wchar_t* suffix : kRedirectionSuffixes) {
        // Anything there counts, a folder (".local" may be one) or a link.
        if (::GetFileAttributesW((exePath + suffix).c_str()) != INVALID_FILE_ATTRIBUTES)
            return true;
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
            return true;
    }
    return false;
}
