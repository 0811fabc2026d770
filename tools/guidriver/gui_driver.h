#pragma once
// Drives the product's windows from another process the way a user would:
// finds windows by title, presses buttons, answers message boxes, reads
// control texts. Used by the end-to-end tests and by scripts/run.sh.

#include <windows.h>

#include <string>

namespace cfdrive {

// Window titles of the product, and of the restart box Wine shows.
extern const wchar_t kMainTitle[];
extern const wchar_t kConsentTitle[];
extern const wchar_t kResultTitle[];
extern const wchar_t kRestartTitle[];
extern const wchar_t kStartCaption[];

// A visible top-level window with exactly this title; with a process id,
// only one of that process.
HWND FindTopWindow(const wchar_t* title, DWORD processId = 0);
HWND WaitForWindow(const wchar_t* title, DWORD timeoutMs, DWORD processId = 0);
bool WaitForWindowGone(HWND window, DWORD timeoutMs);
int CountTopWindows(const wchar_t* title, DWORD processId = 0);
// Any visible top-level window of the process.
HWND FindProcessWindow(DWORD processId);

// Writes the text and a line end to standard output as UTF-8 (the
// command-line fronts' results, read by scripts).
void PrintLine(const std::wstring& text);

std::wstring ControlText(HWND dialog, int id);
bool WaitForControlText(HWND dialog, int id, const wchar_t* text, DWORD timeoutMs);

void PressButton(HWND dialog, int id);   // a click on a push button
void ClickControl(HWND dialog, int id);  // left press and release on any control
void DoubleClickControl(HWND dialog, int id);  // as the system reports a double-click
void AnswerBox(HWND box, int answer);    // IDYES, IDNO, IDOK, IDCANCEL
void PressEscape(HWND dialog);

// What one repair run through the main window showed.
struct RunOutcome {
    bool consentAsked = false;
    bool restartOffered = false;
    bool restartBeforeResult = false;
    int resultDialogs = 0;
    std::wstring resultText;
};

// Presses start on the main window of `processId`, answers the consent box
// with `consent` (IDYES/IDNO) and the restart box with `restartAnswer`,
// reads the result dialog, dismisses it with `resultButton` and waits for
// the main window to return to idle. False on a timeout.
bool RunOneRepair(DWORD processId, int consent, int restartAnswer, int resultButton, RunOutcome& outcome,
                  DWORD timeoutMs = 60000);

}  // namespace cfdrive
