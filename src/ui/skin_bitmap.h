#pragma once
// Draws a bitmap plainly (mode 0), with a transparent colour (mode 1), or
// by per-pixel straight alpha for 32-bit bitmaps (mode 2). The owner loads
// the bitmap and keeps it; the holder never frees it.

#include <windows.h>

enum SkinDrawMode : UINT { SkinDrawCopy = 0, SkinDrawTransparent = 1, SkinDrawAlpha = 2 };

class CSkinBitmap {
public:
    HBITMAP m_hBitmap = nullptr;
    UINT m_nMode = SkinDrawCopy;
    COLORREF m_crTransparent = RGB(255, 0, 255);

    // Draws the whole bitmap with its top-left corner at (x, y).
    BOOL Draw(HDC dc, int x, int y);

private:
    BOOL DrawCopy(HDC dc, int x, int y, int width, int height);
    BOOL DrawTransparent(HDC dc, int x, int y, int width, int height);
    BOOL DrawAlphaBlend(HDC dc, int x, int y, int width, int height);
};

// A new width x height bitmap of `source` laid on `background` (its
// `transparent` pixels show the background), scaled with a smoothing filter:
// for a bitmap always drawn on one colour, at a size chosen for the screen.
// A key colour could not survive smoothing, so the result is drawn plainly.
// Null on failure; the caller owns the result.
HBITMAP CreateScaledOnBackground(HBITMAP source, COLORREF transparent, COLORREF background, int width, int height);

// One-colour fill through an opaque ExtTextOutW; the background colour of
// the device context is restored.
void FillSolidRect(HDC dc, const RECT& rect, COLORREF colour);
