#pragma once
// A hyperlink look for an existing static control: underlined text that
// turns red under the pointer, the hand cursor, and a WM_COMMAND with the
// control's id (STN_CLICKED) to the parent when the left button is released
// after a press on it; a double-click is one click.

#include "ui/window.h"

class CSimpleLink : public CSubclassedWindow {
public:
    CSimpleLink();  // background: the button-face colour

    // Attach with SubclassWindow(static); the owner then adds SS_NOTIFY.
    BOOL m_bHover = 0;
    COLORREF m_crBackground;

protected:
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    void OnPaint();
};
