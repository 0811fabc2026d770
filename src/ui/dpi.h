#pragma once
// Painted measures are designed at 96 DPI. On a larger screen setting the
// dialog manager grows the controls with the dialog font, so everything
// painted beside them grows by the same factor, rounded as it rounds
// dialog units (MulDiv: halves away from zero).

#include <windows.h>

const int kDesignDpi = 96;

// The screen's LOGPIXELSY; the system keeps it fixed until the next logon,
// so it is read once.
int ScreenDpi();

inline int ScaleForDpi(int pixels, int dpi) { return MulDiv(pixels, dpi, kDesignDpi); }

// A 96-DPI measure at the screen's DPI.
inline int Scaled(int pixels) { return ScaleForDpi(pixels, ScreenDpi()); }
