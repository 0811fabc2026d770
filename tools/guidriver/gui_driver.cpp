#include "gui_driver.h"

namespace cfdrive {

const wchar_t kMainTitle[] = L"Tavelo杀毒CrossFire文件修复工具";
const wchar_t kConsentTitle[] = L"CrossFire修复";
const wchar_t kResultTitle[] = L"注意";
const wchar_t kRestartTitle[] = L"重启";
const wchar_t kStartCaption[] = L"开始修复";

namespace {

const int kStartButton = 1008;
const int kResultText = 1019;
const DWORD kPollMs = 50;

struct Search {
    const wchar_t* title;
    DWORD processId;
    HWND found;
    int count;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM parameter)
{
    auto* search = reinterpret_cast<Search*>(parameter);
    if (!IsWindowVisible(window))
        return TRUE;
    if (search->processId) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner != search->processId)
            return TRUE;
    }
    if (search->title) {
        wchar_t text[256] = L"";
        GetWindowTextW(window, text, ARRAYSIZE(text));
        if (lstrcmpW(text, search->title) != 0)
            return TRUE;
    }
    if (!search->found)
        search->found = window;
    ++search->count;
    return TRUE;
}

Search RunSearch(const wchar_t* title, DWORD processId)
{
    Search search = {title, processId, nullptr, 0};
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
    return search;
}

}  // namespace

HWND FindTopWindow(const wchar_t* title, DWORD processId) { return RunSearch(title, processId).found; }

int CountTopWindows(const wchar_t* title, DWORD processId) { return RunSearch(title, processId).count; }

HWND FindProcessWindow(DWORD processId) { return RunSearch(nullptr, processId).found; }

HWND WaitForWindow(const wchar_t* title, DWORD timeoutMs, DWORD processId)
{
    const DWORD start = GetTickCount();
    for (;;) {
        if (HWND window = FindTopWindow(title, processId))
            return window;
        if (GetTickCount() - start >= timeoutMs)
            return nullptr;
        Sleep(kPollMs);
    }
}

bool WaitForWindowGone(HWND window, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    while (IsWindow(window) && IsWindowVisible(window)) {
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(kPollMs);
    }
    return true;
}

void PrintLine(const std::wstring& text)
{
    std::wstring line = text + L"\n";
    int size = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0, nullptr,
                                   nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), &bytes[0], size, nullptr, nullptr);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::wstring ControlText(HWND dialog, int id)
{
    HWND control = GetDlgItem(dialog, id);
    if (!control)
        return L"<no control>";
    wchar_t text[1024] = L"";
    SendMessageTimeoutW(control, WM_GETTEXT, ARRAYSIZE(text), reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                        5000, nullptr);
    return text;
}

bool WaitForControlText(HWND dialog, int id, const wchar_t* text, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    while (ControlText(dialog, id) != text) {
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(kPollMs);
    }
    return true;
}

void PressButton(HWND dialog, int id) { PostMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

void ClickControl(HWND dialog, int id)
{
    HWND control = GetDlgItem(dialog, id);
    PostMessageW(control, WM_MOUSEMOVE, 0, MAKELPARAM(2, 2));
    PostMessageW(control, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
    PostMessageW(control, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
}

void DoubleClickControl(HWND dialog, int id)
{
    ClickControl(dialog, id);
    // A class with CS_DBLCLKS gets the second press as a double-click.
    HWND control = GetDlgItem(dialog, id);
    PostMessageW(control, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(2, 2));
    PostMessageW(control, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
}

void AnswerBox(HWND box, int answer) { PostMessageW(box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED), 0); }

void PressEscape(HWND dialog)
{
    // The key goes where the user's would: to the control with the focus,
    // whose dialog turns it into IDCANCEL.
    HWND target = GetDlgItem(dialog, kStartButton);
    PostMessageW(target ? target : dialog, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    PostMessageW(target ? target : dialog, WM_KEYUP, VK_ESCAPE, 0xC0010001);
}

bool RunOneRepair(DWORD processId, int consent, int restartAnswer, int resultButton, RunOutcome& outcome,
                  DWORD timeoutMs)
{
    HWND main = WaitForWindow(kMainTitle, timeoutMs, processId);
    if (!main || !WaitForControlText(main, kStartButton, kStartCaption, timeoutMs))
        return false;
    PressButton(main, kStartButton);

    const DWORD start = GetTickCount();
    for (;;) {
        if (GetTickCount() - start >= timeoutMs)
            return false;
        if (HWND box = FindTopWindow(kConsentTitle, processId)) {
            outcome.consentAsked = true;
            AnswerBox(box, consent);
            WaitForWindowGone(box, 5000);
            continue;
        }
        if (HWND box = FindTopWindow(kRestartTitle, processId)) {
            outcome.restartOffered = true;
            if (outcome.resultDialogs == 0)
                outcome.restartBeforeResult = true;
            AnswerBox(box, restartAnswer);
            WaitForWindowGone(box, 5000);
            continue;
        }
        if (HWND result = FindTopWindow(kResultTitle, processId)) {
            // The text is set during initialisation; give it a moment.
            Sleep(100);
            outcome.resultDialogs++;
            outcome.resultText = ControlText(result, kResultText);
            AnswerBox(result, resultButton);
            WaitForWindowGone(result, 5000);
            break;
        }
        Sleep(kPollMs);
    }
    if (!WaitForControlText(main, kStartButton, kStartCaption, timeoutMs))
        return false;
    // A second result dialog would be a fault; give one a chance to show.
    Sleep(300);
    outcome.resultDialogs += CountTopWindows(kResultTitle, processId);
    return true;
}

}  // namespace cfdrive
