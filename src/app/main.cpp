#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include "app/main_dlg.h"
#include "res/resource.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    CoInitialize(nullptr);
    SetErrorMode(SEM_NOOPENFILEERRORBOX | SEM_NOALIGNMENTFAULTEXCEPT);
    DefWindowProcW(nullptr, 0, 0, 0);
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);

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
