#pragma once
// A 32-bit top-down DIB section selected into a memory DC: a drawing target
// (or a copy of a window or the screen) whose pixels are read back exactly.

#include <windows.h>

#include <vector>

#include "support/unique.h"

namespace uitest {

class Dib {
public:
    Dib(int width, int height);
    ~Dib();
    Dib(const Dib&) = delete;
    Dib& operator=(const Dib&) = delete;

    bool Ok() const { return m_bits && m_previous; }
    HDC Dc() const { return m_dc.Get(); }
    int Width() const { return m_width; }
    int Height() const { return m_height; }

    void Fill(COLORREF colour);
    void Set(int x, int y, COLORREF colour);
    COLORREF At(int x, int y) const;
    std::vector<COLORREF> Snapshot() const;  // row by row
    // Copies Width() x Height() pixels from (x, y) of `source`.
    bool CopyFrom(HDC source, int x, int y);
    int Count(COLORREF colour, const RECT& area) const;

private:
    int m_width;
    int m_height;
    cf::UniqueDc m_dc;
    cf::UniqueGdiObject m_bitmap;
    BYTE* m_bits = nullptr;
    HGDIOBJ m_previous = nullptr;
};

}  // namespace uitest
