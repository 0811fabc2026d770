#pragma once
// Fonts derived from one base font (the default GUI font's description,
// height -11, face "Tahoma"), created once per key and kept for the life
// of the process.
//
// Key: bits 15-8 a signed size increase in pixels (height = -11 - value),
// 0x4 bold, 0x2 underline, 0x1 italic; bits 7-3 carry no attribute but
// still tell keys apart. The heights are those of a 96-DPI screen; on
// another screen every font is scaled by its DPI / 96.

#include <windows.h>

class PellunFontPool {
public:
    // Created on first use, never destroyed; null if creation failed.
    static PellunFontPool* GetInstance();

    // Cached; null (and nothing cached) when the font cannot be created.
    HFONT GetFont(WORD key);
    HFONT GetFontEx(int sizeIncrease, bool underline);

    // Number of cached fonts, base font included.
    size_t GetFontCount() const;

    virtual ~PellunFontPool();

private:
    PellunFontPool();
    struct Impl;
    Impl* m_impl;
};
