#include "pixels.h"

namespace uitest {

Dib::Dib(int width, int height) : m_width(width), m_height(height), m_dc(CreateCompatibleDC(nullptr))
{
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    m_bitmap.Reset(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!m_dc || !m_bitmap)
        return;
    m_bits = static_cast<BYTE*>(bits);
    m_previous = SelectObject(m_dc.Get(), m_bitmap.Get());
}

Dib::~Dib()
{
    if (m_previous)
        SelectObject(m_dc.Get(), m_previous);
}

void Dib::Fill(COLORREF colour)
{
    for (int y = 0; y < m_height; ++y)
        for (int x = 0; x < m_width; ++x)
            Set(x, y, colour);
}

void Dib::Set(int x, int y, COLORREF colour)
{
    GdiFlush();
    BYTE* p = m_bits + (static_cast<size_t>(y) * m_width + x) * 4;
    p[0] = GetBValue(colour);
    p[1] = GetGValue(colour);
    p[2] = GetRValue(colour);
    p[3] = 0;
}

COLORREF Dib::At(int x, int y) const
{
    GdiFlush();
    const BYTE* p = m_bits + (static_cast<size_t>(y) * m_width + x) * 4;
    return RGB(p[2], p[1], p[0]);
}

std::vector<COLORREF> Dib::Snapshot() const
{
    std::vector<COLORREF> all;
    for (int y = 0; y < m_height; ++y)
        for (int x = 0; x < m_width; ++x)
            all.push_back(At(x, y));
    return all;
}

bool Dib::CopyFrom(HDC source, int x, int y)
{
    return Ok() && BitBlt(m_dc.Get(), 0, 0, m_width, m_height, source, x, y, SRCCOPY);
}

int Dib::Count(COLORREF colour, const RECT& area) const
{
    int count = 0;
    for (int y = area.top; y < area.bottom; ++y)
        for (int x = area.left; x < area.right; ++x)
            if (At(x, y) == colour)
                ++count;
    return count;
}

}  // namespace uitest
