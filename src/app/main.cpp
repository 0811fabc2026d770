#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include <cstdlib>
#include <string>

#include "app/launch_options.h"
#include "app/main_dlg.h"
#include "app/quiet_run.h"
#include "app/restore_run.h"
#include "app/startup_guard.h"
#include "repair/game_repair.h"
#include "res/resource.h"

// The library's verbose terminate handler drags its symbol demangler (about
// 40 KiB) into the exe; a failure to allocate a string ends the program
// either way.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

namespace {

const wchar_t kMoveProgramText[] =
    L"程序所在的文件夹里有会改变程序加载方式的文件（.manifest 或 .local），"
    L"为了安全，程序没有运行，也没有做任何修改。\n\n"
    L"请把本程序单独放进一个新建的文件夹，再运行。";

bool StartedBesideLoadRedirection()
{
    wchar_t path[1024];
    const DWORD length = GetModuleFileNameW(nullptr, path, ARRAYSIZE(path));
    // A path too long to read cannot be checked: refuse it as well.
    return length == 0 || length >= ARRAYSIZE(path) || HasLoadRedirection(std::wstring(path, length));
}

// Loaded here, not imported: an import would bring comctl32 in (and what it
// loads by bare name) before the DLL search is restricted. The bare name
// resolves to the manifest's side-by-side assembly, version 6.
void InitCommonControlsOnce()
{
    using InitProc = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
    HMODULE controls = LoadLibraryW(L"comctl32.dll");
    const auto init = controls ? reinterpret_cast<InitProc>(
                                     reinterpret_cast<void*>(GetProcAddress(controls, "InitCommonControlsEx")))
                               : nullptr;
    INITCOMMONCONTROLSEX classes = {sizeof(classes), ICC_BAR_CLASSES};
    if (init)
        init(&classes);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    RestrictDllSearch();
    const LaunchOptions options = ParseLaunchOptions(GetCommandLineW());
    if (StartedBesideLoadRedirection()) {
        if (!options.quiet)
            MessageBoxW(nullptr, kMoveProgramText, kGameConsentCaption, MB_OK | MB_ICONERROR);
        return 1;
    }
    CoInitialize(nullptr);
    SetErrorMode(SEM_NOOPENFILEERRORBOX | SEM_NOALIGNMENTFAULTEXCEPT);
    DefWindowProcW(nullptr, 0, 0, 0);
    InitCommonControlsOnce();

    // A run that nobody watches must never wait on a box: no "no disk"
    // question from a removed drive, no crash report.
    if (options.quiet)
        SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX |
                     SEM_NOALIGNMENTFAULTEXCEPT);
    if (options.mode != LaunchMode::Window) {
        int code;
        if (options.mode == LaunchMode::Repair)
            code = RunQuietRepair(options);
        else if (options.mode == LaunchMode::Restore)
            code = RunRestore(options);
        else
            code = ReportUsageError(options);
        CoUninitialize();
        return code;
    }

    INT_PTR result;
    bool workerRunning;
    {
        CMainDlg dialog;
        result = dialog.DoModal(GetActiveWindow(), IDD_MAIN);
        workerRunning = dialog.IsWorkerRunning();
    }
    CoUninitialize();
    // A run the user walked away from still writes the process-wide log
    // buffer; end here, before static destructors could free it under it.
    if (workerRunning)
        ExitProcess(static_cast<UINT>(result));
    return static_cast<int>(result);
}
