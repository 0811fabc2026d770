#include "app/main_dlg.h"

#include <process.h>

#include "app/app_texts.h"
#include "app/ok_dlg.h"
#include "log/scan_log.h"
#include "repair/game_repair.h"
#include "repair/module.h"
#include "res/resource.h"
#include "support/unique.h"
#include "ui/dpi.h"
#include "ui/font_pool.h"

namespace {

const wchar_t kWindowTitle[] = L"Tavelo杀毒CrossFire文件修复工具";
const wchar_t kHomeLinkText[] = L"Tavelo杀毒安全网";
const wchar_t kStartCaption[] = L"开始修复";
const wchar_t kStopCaption[] = L"停止修复";
const wchar_t kStatusRunning[] = L"正在扫描中。。。 ";
const wchar_t kStatusIdle[] = L"请点击“开始修复”，立即检测缺少的文件，修复系统";
const wchar_t kDebugPrivilege[] = L"SeDebugPrivilege";
const wchar_t kShutdownPrivilege[] = L"SeShutdownPrivilege";
const wchar_t kProductKey[] = L"SOFTWARE\\Morvex";
const wchar_t kProductValue[] = L"Install Path";
const wchar_t kProductExe[] = L"\\morvex.exe";
const wchar_t kShellLibrary[] = L"shell32.dll";

const int kLinkIds[3] = {IDC_HELP_LINK, IDC_HOME_LINK, IDC_FORUM_LINK};
const COLORREF kBandColour = RGB(222, 239, 255);
// The header's and footer's measures at 96 DPI; painting scales them.
const int kBandHeight = 40;
const int kLineWidth = 1;
const int kHeaderIconSize = 32;
const POINT kHeaderIconAt = {10, 5};
const int kTitleInset = 50;
const int kLogoFromRight = 100;
const int kLogoBelowBand = 7;
const COLORREF kLogoKeyColour = RGB(255, 0, 255);
const WORD kTitleFontKey = 0x0A00;
const UINT_PTR kStopTimer = 1;   // answers the consent question while a stop waits
const UINT_PTR kCloseTimer = 2;  // gives up on a closed window's run once it hangs
const UINT kStopTimerMs = 100;
const UINT kCloseWaitMs = 5000;
const wchar_t kDialogClass[] = L"#32770";

int EnablePrivilege(const wchar_t* name)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return 0;
    cf::UniqueHandle owned(token);
    TOKEN_PRIVILEGES privileges = {};
    if (!LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid))
        return 0;
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    return AdjustTokenPrivileges(owned.Get(), FALSE, &privileges, 0, nullptr, nullptr) ? 1 : 0;
}

// The page a link opens, or null for an id that is no link.
const wchar_t* LinkAddress(int id)
{
    switch (id) {
    case IDC_HELP_LINK:
        return kHelpArticleUrl;
    case IDC_HOME_LINK:
        return kHomePageUrl;
    case IDC_FORUM_LINK:
        return kForumUrl;
    default:
        return nullptr;
    }
}

// A band's edge: `width` rows of the current pen from row y down.
void DrawBandLine(HDC dc, int y, int length, int width)
{
    for (int row = y; row < y + width; ++row) {
        MoveToEx(dc, 0, row, nullptr);
        LineTo(dc, length, row);
    }
}

// Finishes the run's record and saves it, once per run: the first caller,
// the worker or a window that gave up on it, takes it; later calls do nothing.
void SaveRunRecord(RunControl* control, size_t headerLength)
{
    if (control && InterlockedCompareExchange(&control->recordTaken, 1, 0) != 0)
        return;
    // A worker that was given up on may wake and append meanwhile.
    ScanLogLock lock;
    if (!FinishRunRecord(headerLength))
        ScanLogUnsaved = 1;
}

}  // namespace

std::wstring ProductExePath;
const wchar_t kRestartPrompt[] = L"需要重启系统使设置生效，现在就重启？";
ShowRestartPromptFn ShowRestartPrompt = ShowShellRestartDialog;

int EnableDebugPrivilege() { return EnablePrivilege(kDebugPrivilege); }
int EnableShutdownPrivilege() { return EnablePrivilege(kShutdownPrivilege); }

int DetectSecurityProduct()
{
    HKEY opened = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &opened,
                        nullptr) != ERROR_SUCCESS)
        return 0;
    cf::UniqueKey key(opened);

    wchar_t path[MAX_PATH + 1] = L"";
    DWORD type = 0;
    DWORD size = sizeof(path) - sizeof(wchar_t);  // room for a terminator the value may lack
    if (RegQueryValueExW(key.Get(), kProductValue, nullptr, &type, reinterpret_cast<BYTE*>(path), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return 0;
    path[size / sizeof(wchar_t)] = L'\0';

    ProductExePath = path;
    ProductExePath += kProductExe;
    cf::UniqueFile file(CreateFileW(ProductExePath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
    if (file)
        return 1;
    ProductExePath.clear();
    return 0;
}

void ShowShellRestartDialog(const wchar_t* prompt)
{
    using RestartDialogProc = int(WINAPI*)(HWND, LPCWSTR, DWORD);
    HMODULE shell = GetModuleHandleW(kShellLibrary);
    cf::UniqueModule loaded;
    if (!shell) {
        loaded.Reset(LoadLibraryW(kShellLibrary));
        shell = loaded.Get();
    }
    if (!shell)
        return;
    auto restartDialog = reinterpret_cast<RestartDialogProc>(
        reinterpret_cast<void*>(GetProcAddress(shell, MAKEINTRESOURCEA(59))));
    if (restartDialog)
        restartDialog(nullptr, prompt, EWX_REBOOT);
}

CMainDlg::CMainDlg() { m_run.comm = this; }

CMainDlg::~CMainDlg()
{
    // A worker still running keeps its handle; it ends with the process.
    if (m_hWorkerThread && !IsWorkerRunning())
        CloseHandle(m_hWorkerThread);
}

bool CMainDlg::IsStopRequested()
{
    InterlockedIncrement(&m_run.checks);
    return m_bStopRequested != 0;
}

bool CMainDlg::IsWorkerRunning() const
{
    return m_hWorkerThread && WaitForSingleObject(m_hWorkerThread, 0) == WAIT_TIMEOUT;
}

bool CMainDlg::OnMessage(UINT message, WPARAM wParam, LPARAM, LRESULT& result)
{
    switch (message) {
    case WM_INITDIALOG:
        result = OnInitDialog();
        return true;
    case WM_SCAN_COMPLETE:
        result = OnScanComplete();
        return true;
    case WM_ERASEBKGND:
        result = OnEraseBackground(reinterpret_cast<HDC>(wParam));
        return true;
    case WM_TIMER:
        OnTimer(static_cast<UINT_PTR>(wParam));
        result = 0;
        return true;
    case WM_COMMAND:
        if (const wchar_t* address = LinkAddress(LOWORD(wParam))) {
            // With SS_NOTIFY the static also reports double-clicks (and
            // enabling) under the link's id: only its click opens the page.
            if (HIWORD(wParam) == STN_CLICKED)
                OpenInShell(address);
            result = 0;
            return true;
        }
        switch (LOWORD(wParam)) {
        case IDOK:
        case IDCANCEL:
            OnClose(LOWORD(wParam));
            break;
        case IDC_START_STOP:
            OnStartStop();
            break;
        default:
            return false;
        }
        result = 0;
        return true;
    }
    return false;
}

LRESULT CMainDlg::OnInitDialog()
{
    CenterDialog(m_hWnd);
    HINSTANCE instance = GetModuleHandleW(nullptr);
    m_hIcon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON,
                                            GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON),
                                            LR_DEFAULTCOLOR));
    SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    HANDLE smallIcon = LoadImageW(instance, MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON,
                                  GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR);
    SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon));

    SetWindowTextW(m_hWnd, kWindowTitle);
    SetDlgItemTextW(m_hWnd, IDC_HOME_LINK, kHomeLinkText);

    LoadArtwork(instance);

    for (int i = 0; i < 3; ++i) {
        HWND link = GetDlgItem(m_hWnd, kLinkIds[i]);
        if (!m_links[i].SubclassWindow(link))
            continue;
        LONG_PTR style = GetWindowLongPtrW(link, GWL_STYLE);
        if (!(style & SS_NOTIFY))
            SetWindowLongPtrW(link, GWL_STYLE, style | SS_NOTIFY);
    }
    m_links[1].m_crBackground = kBandColour;
    m_links[2].m_crBackground = kBandColour;

    EnableDebugPrivilege();
    EnableShutdownPrivilege();
    DetectSecurityProduct();
    return TRUE;
}

// The header icon and the footer logo at the sizes the screen's DPI asks.
void CMainDlg::LoadArtwork(HINSTANCE instance)
{
    const int iconSize = Scaled(kHeaderIconSize);
    m_hHeaderIcon = m_hIcon;
    if (iconSize != GetSystemMetrics(SM_CXICON) || iconSize != GetSystemMetrics(SM_CYICON)) {
        // Drawn from the icon's own image nearest that size, not a 32-pixel one stretched.
        HICON sized = static_cast<HICON>(
            LoadImageW(instance, MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON, iconSize, iconSize, LR_DEFAULTCOLOR));
        if (sized)
            m_hHeaderIcon = sized;
    }

    // The logo's magenta surround must not show on the footer band.
    m_footer.m_nMode = SkinDrawTransparent;
    m_footer.m_hBitmap = static_cast<HBITMAP>(
        LoadImageW(instance, MAKEINTRESOURCEW(IDB_LOGO), IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR));
    BITMAP logo = {};
    if (ScreenDpi() == kDesignDpi || !GetObjectW(m_footer.m_hBitmap, sizeof(logo), &logo))
        return;
    // Smoothed to the screen's size, laid on the band it is always drawn on.
    HBITMAP scaled = CreateScaledOnBackground(m_footer.m_hBitmap, kLogoKeyColour, kBandColour,
                                              Scaled(logo.bmWidth), Scaled(logo.bmHeight));
    if (!scaled)
        return;
    DeleteObject(m_footer.m_hBitmap);
    m_footer.m_hBitmap = scaled;
    m_footer.m_nMode = SkinDrawCopy;
}

void CMainDlg::ResetRunState()
{
    if (m_hWorkerThread) {
        CloseHandle(m_hWorkerThread);
        m_hWorkerThread = nullptr;
    }
    m_bStopRequested = 0;
    m_run.stopped = 0;
    m_run.offeringRestart = 0;
    m_run.checks = 0;
    m_run.headerLength = 0;
    m_run.recordTaken = 0;
    RepairPerformed = 0;
    RepairFailed = 0;
    ScanLogUnsaved = 0;
    AwaitingRestart = 0;
}

void CMainDlg::OnStartStop()
{
    wchar_t caption[512] = L"";
    if (!GetDlgItemTextW(m_hWnd, IDC_START_STOP, caption, ARRAYSIZE(caption)))
        return;

    if (lstrcmpW(caption, kStartCaption) == 0) {
        ResetRunState();
        m_bResultAwaited = true;
        m_hWorkerThread =
            reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, RepairThreadProc, this, 0, &m_workerId));
        SetDlgItemTextW(m_hWnd, IDC_START_STOP, kStopCaption);
        SetDlgItemTextW(m_hWnd, IDC_STATUS, kStatusRunning);
        return;
    }
    if (!m_bStopping && m_bResultAwaited)
        RequestStop();
}

// The run is asked, never killed: it may hold the heap's or the loader's
// lock, and its files must be left whole. The window stays in the stopping
// state, its messages flowing, until the run's completion arrives.
void CMainDlg::RequestStop()
{
    m_bStopping = true;
    InterlockedExchange(&m_bStopRequested, 1);
    if (!m_hWorkerThread) {
        // The run never started, so nothing else will complete it.
        m_run.stopped = 1;
        PostMessageW(m_hWnd, WM_SCAN_COMPLETE, 0, 0);
        return;
    }
    AnswerConsentNo();
    // The question may open just after the press; it is answered as it comes.
    SetTimer(m_hWnd, kStopTimer, kStopTimerMs, nullptr);
}

namespace {

BOOL CALLBACK AnswerNo(HWND window, LPARAM)
{
    wchar_t className[16] = L"";
    wchar_t title[64] = L"";
    GetClassNameW(window, className, ARRAYSIZE(className));
    GetWindowTextW(window, title, ARRAYSIZE(title));
    // Only the consent question: the restart box of the same thread is the
    // user's to answer.
    if (lstrcmpW(className, kDialogClass) == 0 && lstrcmpW(title, kGameConsentCaption) == 0)
        PostMessageW(window, WM_COMMAND, IDNO, 0);
    return TRUE;
}

}  // namespace

void CMainDlg::AnswerConsentNo()
{
    if (m_workerId && !m_run.offeringRestart)
        EnumThreadWindows(m_workerId, AnswerNo, 0);
}

// Esc or the close box: the window goes at once, and a run is stopped as by
// the button; it finishes its step, saves its record and then ends the
// program. A restart offer on screen is waited for, so a registered
// boot-time move is not left unoffered.
void CMainDlg::OnClose(int code)
{
    if (!IsWorkerRunning()) {
        EndDialog(m_hWnd, code);
        return;
    }
    if (m_closeCode)
        return;
    m_closeCode = code;
    ShowWindow(m_hWnd, SW_HIDE);
    if (!m_bStopping)
        RequestStop();
    m_closeChecks = m_run.checks;
    SetTimer(m_hWnd, kCloseTimer, kCloseWaitMs, nullptr);
}

void CMainDlg::OnTimer(UINT_PTR id)
{
    if (id == kStopTimer) {
        AnswerConsentNo();
    } else if (id == kCloseTimer) {
        // A run that looked at the stop since the last tick is not hung.
        const LONG checks = m_run.checks;
        if (m_run.offeringRestart || checks != m_closeChecks) {
            m_closeChecks = checks;
            return;
        }
        // Hung inside one call (a dead network drive): what it did so far is
        // recorded here, unless it took its record itself, and it is left.
        KillTimer(m_hWnd, kCloseTimer);
        KillTimer(m_hWnd, kStopTimer);
        SaveRunRecord(&m_run, static_cast<size_t>(m_run.headerLength));
        EndDialog(m_hWnd, m_closeCode);
    }
}

unsigned __stdcall CMainDlg::RepairThreadProc(void* parameter)
{
    CMainDlg* window = static_cast<CMainDlg*>(parameter);
    RunRepair(window->m_hWnd, &window->m_run);
    return 0;
}

void CMainDlg::RunRepair(HWND notify, RunControl* control)
{
    ICommunication* comm = control ? control->comm : nullptr;
    RestartRequired = 0;
    RepairFailed = 0;
    AwaitingRestart = 0;
    const size_t headerLength = BeginRunRecord();
    if (control) {
        control->recordTaken = 0;
        InterlockedExchange(&control->headerLength, static_cast<LONG>(headerLength));
    }

    CKillSysFileFix module;
    module.RepairGame(comm);
    // A stop pressed after the work was done does not make it a stopped run.
    if (control && comm && comm->IsStopRequested())
        control->stopped = 1;
    SaveRunRecord(control, headerLength);

    if (RestartRequired) {
        if (control)
            control->offeringRestart = 1;
        ShowRestartPrompt(kRestartPrompt);
        if (control)
            control->offeringRestart = 0;
    }
    PostMessageW(notify, WM_SCAN_COMPLETE, 0, 0);
}

LRESULT CMainDlg::OnScanComplete()
{
    // One result per run: a completion that no run awaits (a second one, or
    // one posted while the result shows) opens nothing.
    if (!m_bResultAwaited)
        return 0;
    m_bResultAwaited = false;
    m_bStopping = false;
    KillTimer(m_hWnd, kStopTimer);
    if (m_closeCode) {
        KillTimer(m_hWnd, kCloseTimer);
        EndDialog(m_hWnd, m_closeCode);
        return 0;
    }
    COKDlg result(&m_run.stopped);
    // Owned by this window even when another program is active: the owner
    // stays disabled while the result shows, so no press or Esc reaches it.
    result.DoModal(m_hWnd, IDD_RESULT);
    SetDlgItemTextW(m_hWnd, IDC_START_STOP, kStartCaption);
    SetDlgItemTextW(m_hWnd, IDC_STATUS, kStatusIdle);
    return 0;
}

LRESULT CMainDlg::OnEraseBackground(HDC dc)
{
    RECT client;
    GetClientRect(m_hWnd, &client);
    const int width = client.right;
    const int height = client.bottom;
    // The controls grow with the dialog font; the painted parts grow with them.
    const int band = Scaled(kBandHeight);
    const int line = Scaled(kLineWidth);

    FillSolidRect(dc, client, GetSysColor(COLOR_BTNFACE));

    const RECT footer = {0, height - band, width, height};
    FillSolidRect(dc, footer, kBandColour);
    DrawBandLine(dc, height - band, width, line);
    m_footer.Draw(dc, width - Scaled(kLogoFromRight), height - band + Scaled(kLogoBelowBand));

    const RECT header = {0, 0, width, band};
    FillSolidRect(dc, header, kBandColour);
    DrawBandLine(dc, band, width, line);

    SetBkMode(dc, TRANSPARENT);
    PellunFontPool* pool = PellunFontPool::GetInstance();
    HFONT font = pool ? pool->GetFont(kTitleFontKey) : nullptr;
    HGDIOBJ previousFont = font ? SelectObject(dc, font) : nullptr;
    if (m_hHeaderIcon) {
        // At its own size: DrawIcon would use the system's icon size.
        const int iconSize = Scaled(kHeaderIconSize);
        DrawIconEx(dc, Scaled(kHeaderIconAt.x), Scaled(kHeaderIconAt.y), m_hHeaderIcon, iconSize, iconSize, 0,
                   nullptr, DI_NORMAL);
    }
    RECT title = {Scaled(kTitleInset), 0, width - Scaled(kTitleInset), band};
    DrawTextW(dc, kWindowTitle, -1, &title, DT_SINGLELINE | DT_VCENTER);
    if (previousFont)
        SelectObject(dc, previousFont);
    return 1;
}
