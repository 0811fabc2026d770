// Command-line front of the GUI driver, for scripts:
//   guidriver repair [yes|no]   one run through the main window of the
//                               running CFRepair.exe; prints the result text
//   guidriver close             presses Esc on the main window
//   guidriver starttime EXE     starts EXE, prints the milliseconds until a
//                               window of it is visible, then closes it

#include <windows.h>

#include <string>

#include "gui_driver.h"

namespace {

// A first start in a fresh prefix can take minutes.
const DWORD kScriptPatienceMs = 600000;

int Repair(bool consent)
{
    cfdrive::RunOutcome outcome;
    if (!cfdrive::RunOneRepair(0, consent ? IDYES : IDNO, IDNO, IDCANCEL, outcome, kScriptPatienceMs)) {
        cfdrive::PrintLine(L"guidriver: the run did not finish in time");
        return 1;
    }
    if (outcome.restartOffered)
        cfdrive::PrintLine(L"restart offered (answered No)");
    cfdrive::PrintLine(outcome.resultText);
    return 0;
}

int Close()
{
    HWND main = cfdrive::WaitForWindow(cfdrive::kMainTitle, kScriptPatienceMs);
    if (!main)
        return 1;
    cfdrive::PressEscape(main);
    return cfdrive::WaitForWindowGone(main, kScriptPatienceMs) ? 0 : 1;
}

int StartTime(const wchar_t* exe)
{
    std::wstring commandLine = L"\"" + std::wstring(exe) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    // Wine starts the desktop process with the first window of a session; a
    // real desktop is there before any program starts, so it is made first.
    DestroyWindow(CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr));
    LARGE_INTEGER frequency, begin, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&begin);
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return 1;
    HWND window = nullptr;
    while (!(window = cfdrive::FindProcessWindow(process.dwProcessId))) {
        if (WaitForSingleObject(process.hProcess, 5) == WAIT_OBJECT_0)
            break;
    }
    QueryPerformanceCounter(&now);
    if (window)
        PostMessageW(window, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(process.hProcess, 10000) != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (!window)
        return 1;
    cfdrive::PrintLine(std::to_wstring((now.QuadPart - begin.QuadPart) * 1000 / frequency.QuadPart));
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc >= 2 && lstrcmpW(argv[1], L"repair") == 0)
        return Repair(argc < 3 || lstrcmpW(argv[2], L"no") != 0);
    if (argc >= 2 && lstrcmpW(argv[1], L"close") == 0)
        return Close();
    if (argc >= 3 && lstrcmpW(argv[1], L"starttime") == 0)
        return StartTime(argv[2]);
    cfdrive::PrintLine(L"usage: guidriver repair [yes|no] | close | starttime EXE");
    return 2;
}
