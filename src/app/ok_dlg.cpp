#include "app/ok_dlg.h"

#include "app/app_texts.h"
#include "log/run_state.h"
#include "log/scan_log.h"
#include "res/resource.h"

namespace {

const wchar_t kStopped[] = L"用户终止，";
const wchar_t kCompleted[] = L"扫描完成，";
const wchar_t kRepaired[] = L"已修复，详情查看扫描日志。";
const wchar_t kIncomplete[] = L"修复未完成，详情查看扫描日志。";
const wchar_t kRestartFirst[] = L"有文件还在等待重启后替换，请先重启电脑，再修复。";
const wchar_t kNothingFound[] = L"未发现异常。";
const wchar_t kQuestion[] = L"访问Tavelo免费杀毒官方？";
const wchar_t kContactLabel[] = L"客服QQ:";
const wchar_t kContactNumber[] = L"400860517";

}  // namespace

COKDlg::COKDlg(const volatile LONG* pUserStopped) : m_pUserStopped(pUserStopped) {}

std::wstring COKDlg::BuildResultText(bool userStopped, bool repaired, bool failed, bool logUnsaved,
                                     bool restartFirst)
{
    std::wstring text = userStopped ? kStopped : kCompleted;
    // A failure is told first: "repaired" alone would hide it.
    text += restartFirst ? kRestartFirst : failed ? kIncomplete : repaired ? kRepaired : kNothingFound;
    if (logUnsaved)
        text += kLogUnsavedText;
    text += kContactLabel;
    text += kContactNumber;
    text += L' ';
    return text;
}

bool COKDlg::OnMessage(UINT message, WPARAM wParam, LPARAM, LRESULT& result)
{
    switch (message) {
    case WM_INITDIALOG:
        result = OnInitDialog();
        return true;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            OnOK();
            result = 0;
            return true;
        case IDCANCEL:
            OnCancel();
            result = 0;
            return true;
        case IDC_VIEW_LOG:
            // Not on the static's STN_DBLCLK: a double-click opens the log once.
            if (HIWORD(wParam) == STN_CLICKED)
                OnViewLog();
            result = 0;
            return true;
        }
        break;
    }
    return false;
}

LRESULT COKDlg::OnInitDialog()
{
    CenterDialog(m_hWnd);
    HWND link = GetDlgItem(m_hWnd, IDC_VIEW_LOG);
    if (m_viewLog.SubclassWindow(link)) {
        LONG_PTR style = GetWindowLongPtrW(link, GWL_STYLE);
        if (!(style & SS_NOTIFY))
            SetWindowLongPtrW(link, GWL_STYLE, style | SS_NOTIFY);
    }
    const bool stopped = m_pUserStopped && *m_pUserStopped != 0;
    SetDlgItemTextW(m_hWnd, IDC_QUESTION, kQuestion);
    SetDlgItemTextW(m_hWnd, IDC_RESULT_TEXT,
                    BuildResultText(stopped, RepairPerformed != 0, RepairFailed != 0, ScanLogUnsaved != 0,
                                    AwaitingRestart != 0).c_str());
    return TRUE;
}

void COKDlg::OnOK()
{
    OpenInShell(kHomePageUrl);
    EndDialog(m_hWnd, IDOK);
}

void COKDlg::OnCancel() { EndDialog(m_hWnd, IDCANCEL); }

void COKDlg::OnViewLog() { OpenScanLog(); }
