#pragma once
// The main window: one start/stop button whose caption is the run state, a
// status line, three links, and the repair run on a worker thread.

#include <string>

#include "log/run_state.h"
#include "ui/simple_link.h"
#include "ui/skin_bitmap.h"
#include "ui/window.h"

// Posted to the main window when a run has ended; wParam and lParam are 0.
const UINT WM_SCAN_COMPLETE = WM_USER + 100;

// The security product's executable when it is installed; recorded only.
extern std::wstring ProductExePath;

int EnableDebugPrivilege();
int EnableShutdownPrivilege();
int DetectSecurityProduct();

// Offers the restart after a run that deferred a replacement; replaceable
// so a test can see the prompt without a restart box.
using ShowRestartPromptFn = void (*)(const wchar_t* prompt);
extern ShowRestartPromptFn ShowRestartPrompt;
// The prompt of that offer, after a repair and after a restore.
extern const wchar_t kRestartPrompt[];
void ShowShellRestartDialog(const wchar_t* prompt);

// What a run shares with the window that started it.
struct RunControl {
    ICommunication* comm = nullptr;     // asked whether to stop
    volatile LONG stopped = 0;          // set by the run: it ended early for a stop
    volatile LONG offeringRestart = 0;  // set by the run while the restart box is up
    volatile LONG checks = 0;           // counts the run's looks at the stop: it moves on
    volatile LONG headerLength = 0;     // the record's length before the repair's lines
    volatile LONG recordTaken = 0;      // 1 once the run's record is saved, by either thread
};

class CMainDlg : public CDialogBase, public ICommunication {
public:
    CMainDlg();
    ~CMainDlg() override;

    bool IsStopRequested() override;

    // True while a worker thread exists that has not ended.
    bool IsWorkerRunning() const;

    static unsigned __stdcall RepairThreadProc(void* parameter);
    // The worker's whole run; saves its record on every way out, then posts
    // WM_SCAN_COMPLETE to `notify`.
    static void RunRepair(HWND notify, RunControl* control = nullptr);

protected:
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    LRESULT OnInitDialog();
    void OnStartStop();
    LRESULT OnScanComplete();
    LRESULT OnEraseBackground(HDC dc);
    void OnTimer(UINT_PTR id);
    void OnClose(int code);
    void RequestStop();
    void AnswerConsentNo();
    void ResetRunState();
    void LoadArtwork(HINSTANCE instance);

    HICON m_hIcon = nullptr;
    HICON m_hHeaderIcon = nullptr;  // the big icon at the header's size for this screen
    CSimpleLink m_links[3];
    CSkinBitmap m_footer;
    volatile LONG m_bStopRequested = 0;
    HANDLE m_hWorkerThread = nullptr;
    unsigned m_workerId = 0;
    RunControl m_run;
    bool m_bResultAwaited = false;  // a run started and its result not yet shown
    bool m_bStopping = false;       // stop pressed, the run not yet ended
    int m_closeCode = 0;            // non-zero: the window ends when the run does
    LONG m_closeChecks = 0;         // the run's checks when the close wait began
};
