#include "ui/font_pool.h"

#include "ui/dpi.h"

#include <new>
#include <unordered_map>

namespace {

const wchar_t kFaceName[] = L"Tahoma";
const LONG kBaseHeight = -11;

const WORD kKeyBold = 0x4;
const WORD kKeyUnderline = 0x2;
const WORD kKeyItalic = 0x1;

}  // namespace

struct PellunFontPool::Impl {
    LOGFONTW base = {};
    int dpi = kDesignDpi;
    std::unordered_map<WORD, HFONT> fonts;
};

PellunFontPool* PellunFontPool::GetInstance()
{
    // Fonts are handed out for the life of the process, so the pool is never freed.
    static PellunFontPool* const pool = [] {
        PellunFontPool* created = new (std::nothrow) PellunFontPool();
        if (created && !created->m_impl) {
            delete created;
            created = nullptr;
        }
        return created;
    }();
    return pool;
}

PellunFontPool::PellunFontPool() : m_impl(new (std::nothrow) Impl())
{
    if (!m_impl)
        return;
    LOGFONTW& base = m_impl->base;
    GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof(base), &base);
    // Heights are 96-DPI pixels, grown like the dialogs' own font.
    m_impl->dpi = ScreenDpi();
    base.lfHeight = ScaleForDpi(kBaseHeight, m_impl->dpi);
    lstrcpynW(base.lfFaceName, kFaceName, LF_FACESIZE);
    if (HFONT font = CreateFontIndirectW(&base))
        m_impl->fonts.emplace(WORD(0), font);
}

PellunFontPool::~PellunFontPool()
{
    if (!m_impl)
        return;
    for (const auto& entry : m_impl->fonts)
        DeleteObject(entry.second);
    delete m_impl;
}

HFONT PellunFontPool::GetFont(WORD key)
{
    auto found = m_impl->fonts.find(key);
    if (found != m_impl->fonts.end())
        return found->second;

    LOGFONTW description = m_impl->base;
    if (key != 0) {
        description.lfWeight = (key & kKeyBold) ? FW_BOLD : FW_NORMAL;
        description.lfUnderline = (key & kKeyUnderline) ? TRUE : FALSE;
        description.lfItalic = (key & kKeyItalic) ? TRUE : FALSE;
        // The whole height is scaled at once, so a key's font is rounded once.
        description.lfHeight = ScaleForDpi(kBaseHeight - static_cast<signed char>(HIBYTE(key)), m_impl->dpi);
    }
    HFONT font = CreateFontIndirectW(&description);
    if (font)
        m_impl->fonts.emplace(key, font);
    return font;
}

HFONT PellunFontPool::GetFontEx(int sizeIncrease, bool underline)
{
    WORD key = static_cast<WORD>((sizeIncrease & 0xFF) << 8);
    if (underline)
        key |= kKeyUnderline;
    return GetFont(key);
}

size_t PellunFontPool::GetFontCount() const
{
    return m_impl->fonts.size();
}
