// Helper of scripts/faults.sh: ends a repair of the running CFRepair.exe at
// a chosen moment, and reads or changes what the system keeps for the boot.
//   faultkit interrupt none|stop|esc|close|kill MS
//       presses start, answers Yes, and MS ms after the answer presses stop,
//       Esc, the close box, or ends the process (none: lets the run end and
//       prints its length in ms); waits until the process has ended and
//       prints what it saw, ending with the process's exit code as
//       "[exit N]". A stop whose result is not a stopped run's says "not
//       stopped". Exits 1 when it could not drive the product (no window, no
//       question, no result of an undisturbed run): such a run proves
//       nothing.
//   faultkit pending        prints the boot-time moves, one "from|to" a line
//   faultkit clearpending   forgets them

#include <windows.h>

#include <string>

#include "gui_driver.h"

namespace {

const wchar_t kSessionManager[] = L"System\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kPendingValue[] = L"PendingFileRenameOperations";
const int kStartButton = 1008;
const DWORD kPatienceMs = 120000;
const DWORD kStopPatienceMs = 20000;  // a stop's result dialog, or a closed program's end
const wchar_t kStoppedText[] = L"用户终止";  // how the result of a stopped run begins

// Answers the boxes a run may show; returns the result dialog if it is up.
HWND ServeBoxes(DWORD pid)
{
    if (HWND restart = cfdrive::FindTopWindow(cfdrive::kRestartTitle, pid))
        cfdrive::AnswerBox(restart, IDNO);
    return cfdrive::FindTopWindow(cfdrive::kResultTitle, pid);
}

// Waits for the result dialog and dismisses it; its text, or empty.
std::wstring TakeResult(DWORD pid, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        if (HWND result = ServeBoxes(pid)) {
            Sleep(100);
            std::wstring text = cfdrive::ControlText(result, 1019);
            cfdrive::AnswerBox(result, IDCANCEL);
            cfdrive::WaitForWindowGone(result, 5000);
            return text;
        }
        Sleep(20);
    }
    return {};
}

int Interrupt(const std::wstring& how, int delayMs)
{
    HWND main = cfdrive::WaitForWindow(cfdrive::kMainTitle, kPatienceMs);
    if (!main || !cfdrive::WaitForControlText(main, kStartButton, cfdrive::kStartCaption, kPatienceMs)) {
        cfdrive::PrintLine(L"no main window");
        return 1;
    }
    DWORD pid = 0;
    GetWindowThreadProcessId(main, &pid);
    HANDLE process = OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE, pid);
    if (!process) {
        cfdrive::PrintLine(L"cannot open the process");
        return 1;
    }
    cfdrive::PressButton(main, kStartButton);
    HWND box = cfdrive::WaitForWindow(cfdrive::kConsentTitle, kPatienceMs, pid);
    if (!box) {
        cfdrive::PrintLine(L"no consent box");
        TerminateProcess(process, 1);
        return 1;
    }
    cfdrive::AnswerBox(box, IDYES);
    LARGE_INTEGER frequency, begin, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&begin);
    auto elapsedMs = [&] {
        QueryPerformanceCounter(&now);
        return static_cast<int>((now.QuadPart - begin.QuadPart) * 1000 / frequency.QuadPart);
    };

    std::wstring outcome;
    bool finished = false, hung = false;
    if (how == L"none") {
        std::wstring text = TakeResult(pid, kPatienceMs);
        if (text.empty()) {
            cfdrive::PrintLine(L"no result dialog");
            TerminateProcess(process, 1);
            CloseHandle(process);
            return 1;
        }
        outcome = std::to_wstring(elapsedMs()) + L" " + text;
        finished = true;
    } else {
        while (elapsedMs() < delayMs) {
            if (ServeBoxes(pid)) {
                finished = true;
                break;
            }
            Sleep(1);
        }
        const int at = elapsedMs();
        if (finished) {
            outcome = L"finished before the fault: " + TakeResult(pid, 10000);
        } else if (how == L"stop") {
            cfdrive::PressButton(main, kStartButton);
            const int pressed = elapsedMs();
            std::wstring text = TakeResult(pid, kStopPatienceMs);
            hung = text.empty();
            // A run past its work when the stop came is not a stopped run;
            // the caller checks that it did finish.
            const bool stopped = text.compare(0, wcslen(kStoppedText), kStoppedText) == 0;
            outcome = hung ? L"stopped, no result dialog (hung)"
                           : std::wstring(stopped ? L"stopped" : L"not stopped") + L", result after " +
                                 std::to_wstring(elapsedMs() - pressed) + L" ms: " + text;
        } else if (how == L"esc" || how == L"close") {
            if (how == L"esc")
                cfdrive::PressEscape(main);
            else
                PostMessageW(main, WM_SYSCOMMAND, SC_CLOSE, 0);
            const int pressed = elapsedMs();
            // A run that ended just before the key shows its result first;
            // the key then ends the program (the close box) or is lost
            // (Esc), and the run counts as finished. A run the key stopped
            // ends with no result.
            std::wstring text;
            while (WaitForSingleObject(process, 20) == WAIT_TIMEOUT &&
                   static_cast<DWORD>(elapsedMs() - pressed) < kStopPatienceMs) {
                if (ServeBoxes(pid)) {
                    text = TakeResult(pid, 10000);
                    break;
                }
            }
            if (!text.empty()) {
                finished = text.compare(0, wcslen(kStoppedText), kStoppedText) != 0;
                hung = !finished;
                outcome = L"finished as the key came: " + text + (hung ? L" (a stopped run's result, hung)" : L"");
            } else {
                hung = WaitForSingleObject(process, 0) != WAIT_OBJECT_0;
                outcome = how == L"esc" ? L"closed with Esc" : L"closed with the close box";
                outcome += hung ? L", still running (hung)"
                                : L", ended after " + std::to_wstring(elapsedMs() - pressed) + L" ms";
            }
        } else {
            TerminateProcess(process, 9);
            outcome = L"terminated";
        }
        outcome = std::to_wstring(at) + L" ms: " + outcome;
    }
    if (!hung && (how == L"none" || how == L"stop" || finished) && WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
        if (cfdrive::WaitForControlText(main, kStartButton, cfdrive::kStartCaption, 30000))
            cfdrive::PressEscape(main);
    }
    if (WaitForSingleObject(process, hung ? 1000 : 60000) != WAIT_OBJECT_0) {
        outcome += L" (did not end: terminated)";
        TerminateProcess(process, 1);
        WaitForSingleObject(process, 10000);
    }
    DWORD code = 0;
    outcome += GetExitCodeProcess(process, &code) ? L" [exit " + std::to_wstring(code) + L"]" : L" [exit unknown]";
    CloseHandle(process);
    cfdrive::PrintLine(outcome);
    return 0;
}

int Pending()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return 1;
    DWORD size = 0, type = 0;
    std::wstring data;
    if (RegQueryValueExW(key, kPendingValue, nullptr, &type, nullptr, &size) == ERROR_SUCCESS && size) {
        data.assign(size / sizeof(wchar_t) + 2, L'\0');
        RegQueryValueExW(key, kPendingValue, nullptr, &type, reinterpret_cast<BYTE*>(&data[0]), &size);
    }
    RegCloseKey(key);
    // Pairs of strings; a deletion has an empty second string.
    const size_t units = size / sizeof(wchar_t);
    for (size_t i = 0; i < units && data[i];) {
        std::wstring from(&data[i]);
        i += from.size() + 1;
        std::wstring to = i < units ? std::wstring(&data[i]) : std::wstring();
        i += to.size() + 1;
        cfdrive::PrintLine(from + L"|" + to);
    }
    return 0;
}

int ClearPending()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return 1;
    RegDeleteValueW(key, kPendingValue);
    RegCloseKey(key);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"interrupt" && argc == 4)
        return Interrupt(argv[2], _wtoi(argv[3]));
    if (command == L"pending")
        return Pending();
    if (command == L"clearpending")
        return ClearPending();
    cfdrive::PrintLine(L"usage: faultkit interrupt none|stop|esc|close|kill MS | pending | clearpending");
    return 2;
}
