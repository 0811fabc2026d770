#include "ui/simple_link.h"

#include "ui/font_pool.h"
#include "ui/skin_bitmap.h"

#include <commctrl.h>

#include <vector>

namespace {

const COLORREF kLinkColour = RGB(48, 100, 165);
const COLORREF kHoverColour = RGB(255, 0, 0);
const WORD kLinkFontKey = 0x0002;  // base size, underlined

}  // namespace

CSimpleLink::CSimpleLink() : m_crBackground(GetSysColor(COLOR_BTNFACE)) {}

bool CSimpleLink::OnMessage(UINT message, WPARAM, LPARAM, LRESULT& result)
{
    switch (message) {
    case WM_PAINT:
        OnPaint();
        result = 0;
        return true;
    case WM_ERASEBKGND:
        // The paint fills the whole client area; erasing first would flicker.
        result = 1;
        return true;
    case WM_SETCURSOR:
        SetCursor(LoadCursorW(nullptr, IDC_HAND));
        result = TRUE;
        return true;
    case WM_MOUSEMOVE:
        if (!m_bHover) {
            TRACKMOUSEEVENT track = {};
            track.cbSize = sizeof(track);
            track.dwFlags = TME_LEAVE;
            track.hwndTrack = m_hWnd;
            track.dwHoverTime = 0;
            // user32's own (Windows 2000 and later), which comctl32's wraps:
            // comctl32 is not imported, only loaded once the DLL search is safe.
            m_bHover = TrackMouseEvent(&track);
            InvalidateRect(m_hWnd, nullptr, FALSE);
        }
        result = 0;
        return true;
    case WM_MOUSELEAVE:
        m_bHover = 0;
        InvalidateRect(m_hWnd, nullptr, FALSE);
        result = 0;
        return true;
    case WM_LBUTTONDOWN:
        // With the capture the release reaches us even off the control.
        SetCapture(m_hWnd);
        result = 0;
        return true;
    case WM_LBUTTONDBLCLK:
        // The second press of a double-click is no new click; passed on, the
        // static would report it to the parent as STN_DBLCLK.
        result = 0;
        return true;
    case WM_LBUTTONUP:
        // Only a release that ends a press on this control clicks it, not
        // the one that ends a double-click.
        if (GetCapture() == m_hWnd) {
            ReleaseCapture();
            SendMessageW(GetParent(m_hWnd), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(m_hWnd), STN_CLICKED), 0);
        }
        result = 0;
        return true;
    default:
        return false;
    }
}

void CSimpleLink::OnPaint()
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(m_hWnd, &paint);
    if (!dc)
        return;

    std::vector<wchar_t> text(GetWindowTextLengthW(m_hWnd) + 1, L'\0');
    int length = GetWindowTextW(m_hWnd, text.data(), static_cast<int>(text.size()));

    RECT client = {};
    GetClientRect(m_hWnd, &client);
    SetBkMode(dc, TRANSPARENT);

    HGDIOBJ previousFont = nullptr;
    if (PellunFontPool* pool = PellunFontPool::GetInstance()) {
        if (HFONT font = pool->GetFont(kLinkFontKey))
            previousFont = SelectObject(dc, font);
    }

    FillSolidRect(dc, client, m_crBackground);
    SetTextColor(dc, m_bHover ? kHoverColour : kLinkColour);
    DrawTextW(dc, text.data(), length, &client, DT_SINGLELINE | DT_LEFT | DT_TOP);

    SetTextColor(dc, RGB(0, 0, 0));
    if (previousFont)
        SelectObject(dc, previousFont);
    EndPaint(m_hWnd, &paint);
}
