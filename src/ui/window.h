#pragma once
// A small window framework: each dialog or subclassed control is a C++
// object with its own procedure. The static procedures find the object
// (DWLP_USER for dialogs, a window property for subclassed controls) and
// hand every message to its OnMessage.

#include <windows.h>

class CDialogBase {
public:
    CDialogBase() = default;
    virtual ~CDialogBase() = default;
    CDialogBase(const CDialogBase&) = delete;
    CDialogBase& operator=(const CDialogBase&) = delete;

    // Runs the dialog modally from template `templateId` of `instance`
    // (null: the program's own module); returns the EndDialog result or -1.
    INT_PTR DoModal(HWND parent, UINT templateId, HINSTANCE instance = nullptr);
    HWND m_hWnd = nullptr;

protected:
    // Return true when handled, with the message's result in `result`
    // (for WM_INITDIALOG: TRUE to take the default focus).
    virtual bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) = 0;
    // Called after WM_NCDESTROY; the window handle is gone.
    virtual void OnFinalMessage() {}

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
};

// Attaches to an existing control by replacing its window procedure;
// messages OnMessage does not handle go to the control's own procedure.
class CSubclassedWindow {
public:
    CSubclassedWindow() = default;
    virtual ~CSubclassedWindow();
    CSubclassedWindow(const CSubclassedWindow&) = delete;
    CSubclassedWindow& operator=(const CSubclassedWindow&) = delete;

    bool SubclassWindow(HWND window);
    void UnsubclassWindow();
    HWND m_hWnd = nullptr;

protected:
    virtual bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) = 0;
    virtual void OnFinalMessage() {}
    LRESULT CallPrevious(UINT message, WPARAM wParam, LPARAM lParam);

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    WNDPROC m_pfnPrevious = DefWindowProcW;
};
