#include "ui/dpi.h"

int ScreenDpi()
{
    static const int dpi = [] {
        HDC screen = GetDC(nullptr);
        int value = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
        if (screen)
            ReleaseDC(nullptr, screen);
        return value > 0 ? value : kDesignDpi;
    }();
    return dpi;
}
