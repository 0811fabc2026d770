#include "ui/skin_bitmap.h"

#include "support/unique.h"

namespace {

// Selects an object into a DC for one scope and puts the previous one back.
class ScopedSelect {
public:
    ScopedSelect(HDC dc, HGDIOBJ object) : m_dc(dc), m_previous(SelectObject(dc, object)) {}
    ~ScopedSelect()
    {
        if (m_previous)
            SelectObject(m_dc, m_previous);
    }
    ScopedSelect(const ScopedSelect&) = delete;
    ScopedSelect& operator=(const ScopedSelect&) = delete;
    bool Ok() const { return m_previous != nullptr && m_previous != HGDI_ERROR; }

private:
    HDC m_dc;
    HGDIOBJ m_previous;
};

HBITMAP CreateSection(int width, int height, WORD bitCount, void** bits)
{
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;  // bottom-up
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = bitCount;
    info.bmiHeader.biCompression = BI_RGB;
    return CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, bits, nullptr, 0);
}

}  // namespace

void FillSolidRect(HDC dc, const RECT& rect, COLORREF colour)
{
    COLORREF previous = SetBkColor(dc, colour);
    if (previous == CLR_INVALID)
        return;
    ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &rect, nullptr, 0, nullptr);
    SetBkColor(dc, previous);
}

HBITMAP CreateScaledOnBackground(HBITMAP source, COLORREF transparent, COLORREF background, int width, int height)
{
    BITMAP info = {};
    if (!source || width <= 0 || height <= 0 || !GetObjectW(source, sizeof(info), &info))
        return nullptr;
    void* bits = nullptr;
    cf::UniqueGdiObject laid(CreateSection(info.bmWidth, info.bmHeight, 24, &bits));
    cf::UniqueGdiObject scaled(CreateSection(width, height, 24, &bits));
    cf::UniqueDc laidDc(CreateCompatibleDC(nullptr));
    cf::UniqueDc scaledDc(CreateCompatibleDC(nullptr));
    if (!laid || !scaled || !laidDc || !scaledDc)
        return nullptr;
    {
        ScopedSelect selectLaid(laidDc.Get(), laid.Get());
        ScopedSelect selectScaled(scaledDc.Get(), scaled.Get());
        if (!selectLaid.Ok() || !selectScaled.Ok())
            return nullptr;
        const RECT all = {0, 0, info.bmWidth, info.bmHeight};
        FillSolidRect(laidDc.Get(), all, background);
        CSkinBitmap image;
        image.m_hBitmap = source;
        image.m_nMode = SkinDrawTransparent;
        image.m_crTransparent = transparent;
        if (!image.Draw(laidDc.Get(), 0, 0))
            return nullptr;
        // HALFTONE averages the source pixels; it needs the brush origin reset.
        SetStretchBltMode(scaledDc.Get(), HALFTONE);
        SetBrushOrgEx(scaledDc.Get(), 0, 0, nullptr);
        if (!StretchBlt(scaledDc.Get(), 0, 0, width, height, laidDc.Get(), 0, 0, info.bmWidth, info.bmHeight,
                        SRCCOPY))
            return nullptr;
    }
    return static_cast<HBITMAP>(scaled.Release());
}

BOOL CSkinBitmap::Draw(HDC dc, int x, int y)
{
    if (!m_hBitmap)
        return FALSE;
    BITMAP info = {};
    if (!GetObjectW(m_hBitmap, sizeof(info), &info))
        return FALSE;
    switch (m_nMode) {
    case SkinDrawCopy:
        return DrawCopy(dc, x, y, info.bmWidth, info.bmHeight);
    case SkinDrawTransparent:
        return DrawTransparent(dc, x, y, info.bmWidth, info.bmHeight);
    case SkinDrawAlpha:
        return DrawAlphaBlend(dc, x, y, info.bmWidth, info.bmHeight);
    default:
        return FALSE;
    }
}

BOOL CSkinBitmap::DrawCopy(HDC dc, int x, int y, int width, int height)
{
    cf::UniqueDc source(CreateCompatibleDC(nullptr));
    if (!source)
        return FALSE;
    ScopedSelect select(source.Get(), m_hBitmap);
    if (!select.Ok())
        return FALSE;
    return BitBlt(dc, x, y, width, height, source.Get(), 0, 0, SRCCOPY);
}

BOOL CSkinBitmap::DrawTransparent(HDC dc, int x, int y, int width, int height)
{
    BITMAP info = {};
    if (!GetObjectW(m_hBitmap, sizeof(info), &info))
        return FALSE;

    cf::UniqueDc sourceDc(CreateCompatibleDC(dc));
    cf::UniqueDc colourDc(CreateCompatibleDC(dc));
    cf::UniqueDc maskDc(CreateCompatibleDC(dc));
    if (!sourceDc || !colourDc || !maskDc)
        return FALSE;
    cf::UniqueGdiObject colour(CreateCompatibleBitmap(dc, width, height));
    cf::UniqueGdiObject mask(CreateBitmap(width, height, 1, 1, nullptr));
    if (!colour || !mask)
        return FALSE;

    // The selections must end before the bitmaps are deleted.
    {
        ScopedSelect selectSource(sourceDc.Get(), m_hBitmap);
        ScopedSelect selectColour(colourDc.Get(), colour.Get());
        ScopedSelect selectMask(maskDc.Get(), mask.Get());
        if (!selectSource.Ok() || !selectColour.Ok() || !selectMask.Ok())
            return FALSE;

        if (width == info.bmWidth && height == info.bmHeight)
            BitBlt(colourDc.Get(), 0, 0, width, height, sourceDc.Get(), 0, 0, SRCCOPY);
        else
            StretchBlt(colourDc.Get(), 0, 0, width, height, sourceDc.Get(), 0, 0, info.bmWidth, info.bmHeight,
                       SRCCOPY);

        // Colour to monochrome: pixels equal to the background colour become white.
        SetBkColor(colourDc.Get(), m_crTransparent);
        BitBlt(maskDc.Get(), 0, 0, width, height, colourDc.Get(), 0, 0, SRCCOPY);

        // Monochrome to colour: white maps to the background, black to the text colour.
        SetBkColor(colourDc.Get(), RGB(0, 0, 0));
        SetTextColor(colourDc.Get(), RGB(255, 255, 255));
        BitBlt(colourDc.Get(), 0, 0, width, height, maskDc.Get(), 0, 0, SRCAND);

        SetBkColor(dc, RGB(255, 255, 255));
        SetTextColor(dc, RGB(0, 0, 0));
        BitBlt(dc, x, y, width, height, maskDc.Get(), 0, 0, SRCAND);
        BitBlt(dc, x, y, width, height, colourDc.Get(), 0, 0, SRCPAINT);
    }
    return TRUE;
}

BOOL CSkinBitmap::DrawAlphaBlend(HDC dc, int x, int y, int width, int height)
{
    BITMAP info = {};
    if (!GetObjectW(m_hBitmap, sizeof(info), &info) || info.bmBitsPixel != 32)
        return FALSE;

    // Always work on a bottom-up copy: a section's own bits may run top-down,
    // and GetObjectW does not say which way, so blending them in memory order
    // against a bottom-up buffer could turn the image upside down.
    void* bits = nullptr;
    cf::UniqueGdiObject sourceCopy(CreateSection(width, height, 32, &bits));
    cf::UniqueDc screen(CreateCompatibleDC(nullptr));
    if (!sourceCopy || !screen)
        return FALSE;
    BITMAPINFO format = {};
    format.bmiHeader.biSize = sizeof(format.bmiHeader);
    format.bmiHeader.biWidth = width;
    format.bmiHeader.biHeight = height;
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    format.bmiHeader.biCompression = BI_RGB;
    if (GetDIBits(screen.Get(), m_hBitmap, 0, height, bits, &format, DIB_RGB_COLORS) != height)
        return FALSE;

    void* targetBits = nullptr;
    cf::UniqueGdiObject target(CreateSection(width, height, 24, &targetBits));
    cf::UniqueDc targetDc(CreateCompatibleDC(dc));
    if (!target || !targetDc)
        return FALSE;
    ScopedSelect select(targetDc.Get(), target.Get());
    if (!select.Ok())
        return FALSE;
    if (!BitBlt(targetDc.Get(), 0, 0, width, height, dc, x, y, SRCCOPY))
        return FALSE;
    GdiFlush();

    const BYTE* source = static_cast<const BYTE*>(bits);
    BYTE* destination = static_cast<BYTE*>(targetBits);
    const int padding = width & 3;  // 24-bit rows are padded to 4 bytes
    for (int row = 0; row < height; ++row) {
        for (int column = 0; column < width; ++column) {
            const unsigned alpha = source[3];
            for (int channel = 0; channel < 3; ++channel)
                destination[channel] =
                    static_cast<BYTE>((source[channel] * alpha + destination[channel] * (255 - alpha)) / 255);
            source += 4;
            destination += 3;
        }
        destination += padding;
    }

    return BitBlt(dc, x, y, width, height, targetDc.Get(), 0, 0, SRCCOPY);
}
