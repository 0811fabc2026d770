#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include <cstdlib>

#include "app/main_dlg.h"
#include "app/restore_run.h"
#include "res/resource.h"

// The library's verbose terminate handler drags its symbol demangler (about
// 40 KiB) into the exe; a failure to allocate a string ends the program
// either way.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    CoInitialize(nullptr);
    SetErrorMode(SEM_NOOPENFILEERRORBOX | SEM_NOALIGNMENTFAULTEXCEPT);
    DefWindowProcW(nullptr, 0, 0, 0);
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);

    if (IsRestoreCommandLine(GetCommandLineW())) {
        const int code = RunRestore();
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
