#include "ui/window.h"

namespace {

const wchar_t kObjectProperty[] = L"CFRepair.WindowObject";

}  // namespace

INT_PTR CDialogBase::DoModal(HWND parent, UINT templateId, HINSTANCE instance)
{
    if (!instance)
        instance = GetModuleHandleW(nullptr);
    return DialogBoxParamW(instance, MAKEINTRESOURCEW(templateId), parent, DialogProc,
                           reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CDialogBase::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    CDialogBase* self = nullptr;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<CDialogBase*>(lParam);
        SetWindowLongPtrW(window, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
        self->m_hWnd = window;
    } else {
        self = reinterpret_cast<CDialogBase*>(GetWindowLongPtrW(window, DWLP_USER));
    }
    if (!self)
        return FALSE;

    LRESULT result = 0;
    bool handled = self->OnMessage(message, wParam, lParam, result);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(window, DWLP_USER, 0);
        self->m_hWnd = nullptr;
        self->OnFinalMessage();
    }
    if (!handled)
        return FALSE;
    if (message == WM_INITDIALOG)
        return static_cast<INT_PTR>(result);
    // Messages whose result a dialog returns directly rather than in DWLP_MSGRESULT.
    switch (message) {
    case WM_CTLCOLORMSGBOX: case WM_CTLCOLOREDIT: case WM_CTLCOLORLISTBOX: case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG: case WM_CTLCOLORSCROLLBAR: case WM_CTLCOLORSTATIC: case WM_COMPAREITEM:
    case WM_VKEYTOITEM: case WM_CHARTOITEM: case WM_QUERYDRAGICON:
        return static_cast<INT_PTR>(result);
    default:
        SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
        return TRUE;
    }
}

CSubclassedWindow::~CSubclassedWindow() { UnsubclassWindow(); }

bool CSubclassedWindow::SubclassWindow(HWND window)
{
    if (m_hWnd || !IsWindow(window))
        return false;
    if (!SetPropW(window, kObjectProperty, this))
        return false;
    SetLastError(0);
    LONG_PTR previous = SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(WindowProc));
    if (!previous && GetLastError() != 0) {
        RemovePropW(window, kObjectProperty);
        return false;
    }
    m_pfnPrevious = reinterpret_cast<WNDPROC>(previous);
    m_hWnd = window;
    return true;
}

void CSubclassedWindow::UnsubclassWindow()
{
    if (!m_hWnd)
        return;
    if (IsWindow(m_hWnd)) {
        SetWindowLongPtrW(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnPrevious));
        RemovePropW(m_hWnd, kObjectProperty);
    }
    m_hWnd = nullptr;
    m_pfnPrevious = DefWindowProcW;
}

LRESULT CSubclassedWindow::CallPrevious(UINT message, WPARAM wParam, LPARAM lParam)
{
    return CallWindowProcW(m_pfnPrevious, m_hWnd, message, wParam, lParam);
}

LRESULT CALLBACK CSubclassedWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* self = static_cast<CSubclassedWindow*>(GetPropW(window, kObjectProperty));
    if (!self)
        return DefWindowProcW(window, message, wParam, lParam);

    LRESULT result = 0;
    if (message != WM_NCDESTROY && self->OnMessage(message, wParam, lParam, result))
        return result;
    result = self->CallPrevious(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        RemovePropW(window, kObjectProperty);
        self->m_hWnd = nullptr;
        self->m_pfnPrevious = DefWindowProcW;
        self->OnFinalMessage();
    }
    return result;
}
