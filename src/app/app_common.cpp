#include <windows.h>
#include <shellapi.h>

#include "app/app_texts.h"

const wchar_t kHelpArticleUrl[] = L"http://gamesafe.qq.com/webplat/info/46/135/286/201004/55640.shtml";
const wchar_t kHomePageUrl[] = L"http://www.tavelo.com/?fr=cfrepair";
const wchar_t kForumUrl[] = L"http://bbs.tavelo.com/?fr=cfrepair";
const wchar_t kLogUnsavedText[] = L"扫描日志未能写入。";

void OpenInShell(const wchar_t* target)
{
    ShellExecuteW(nullptr, L"open", target, nullptr, nullptr, SW_SHOWNORMAL);
}

void CenterDialog(HWND dialog)
{
    RECT area;
    HWND owner = GetWindow(dialog, GW_OWNER);
    if (owner && IsWindowVisible(owner) && !IsIconic(owner))
        GetWindowRect(owner, &area);
    else
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);

    RECT window;
    GetWindowRect(dialog, &window);
    const int width = window.right - window.left;
    const int height = window.bottom - window.top;
    int x = area.left + ((area.right - area.left) - width) / 2;
    int y = area.top + ((area.bottom - area.top) - height) / 2;

    // Over an owner near the screen's edge, stay inside the work area.
    RECT work;
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    if (x + width > work.right) x = work.right - width;
    if (y + height > work.bottom) y = work.bottom - height;
    if (x < work.left) x = work.left;
    if (y < work.top) y = work.top;
    SetWindowPos(dialog, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}
