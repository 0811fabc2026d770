// Bitmap drawing, the solid fill and the font pool, checked pixel by pixel
// on memory device contexts.

#include <gtest/gtest.h>

#include "pixels.h"
#include "support/unique.h"
#include "ui/font_pool.h"
#include "ui/skin_bitmap.h"

#include <vector>

namespace {

using Canvas = uitest::Dib;

// A different colour in every pixel, so that "unchanged" means something.
void FillPattern(Canvas& canvas)
{
    for (int y = 0; y < canvas.Height(); ++y)
        for (int x = 0; x < canvas.Width(); ++x)
            canvas.Set(x, y, RGB(10 + 7 * x, 200 - 9 * y, (x * 31 + y * 17) & 0xFF));
}

// A DIB section source; rows in the order given (top-down or bottom-up).
struct Source {
    cf::UniqueGdiObject bitmap;
    BYTE* bits = nullptr;
    int width = 0;
    int height = 0;
    int depth = 0;
    bool topDown = true;

    Source(int w, int h, int bitCount, bool topDownRows) : width(w), height(h), depth(bitCount), topDown(topDownRows)
    {
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = w;
        info.bmiHeader.biHeight = topDownRows ? -h : h;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = static_cast<WORD>(bitCount);
        info.bmiHeader.biCompression = BI_RGB;
        void* p = nullptr;
        bitmap.Reset(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &p, nullptr, 0));
        bits = static_cast<BYTE*>(p);
    }
    int Stride() const { return ((width * depth / 8) + 3) & ~3; }
    BYTE* Pixel(int x, int y)
    {
        int row = topDown ? y : height - 1 - y;
        return bits + row * Stride() + x * (depth / 8);
    }
    void Set(int x, int y, COLORREF c, BYTE alpha = 0)
    {
        BYTE* p = Pixel(x, y);
        p[0] = GetBValue(c);
        p[1] = GetGValue(c);
        p[2] = GetRValue(c);
        if (depth == 32)
            p[3] = alpha;
    }
    HBITMAP Get() const { return static_cast<HBITMAP>(bitmap.Get()); }
};

COLORREF SourceColour(int x, int y) { return RGB(40 * x + 3, 60 * y + 5, 0x80 + x - y); }

BYTE Blend(BYTE source, BYTE destination, BYTE alpha)
{
    return static_cast<BYTE>((source * alpha + destination * (255 - alpha)) / 255);
}

COLORREF BlendPixel(COLORREF source, COLORREF destination, BYTE alpha)
{
    return RGB(Blend(GetRValue(source), GetRValue(destination), alpha),
               Blend(GetGValue(source), GetGValue(destination), alpha),
               Blend(GetBValue(source), GetBValue(destination), alpha));
}

const BYTE kAlphas[] = {0, 255, 128, 1, 37, 254, 200};

}  // namespace

TEST(FillSolidRect, FillsExactlyTheRectangleAndRestoresTheBackground)
{
    Canvas canvas(10, 8);
    ASSERT_TRUE(canvas.Ok());
    FillPattern(canvas);
    std::vector<COLORREF> before = canvas.Snapshot();
    SetBkColor(canvas.Dc(), RGB(1, 2, 3));

    FillSolidRect(canvas.Dc(), RECT{2, 3, 7, 6}, RGB(222, 239, 255));

    EXPECT_EQ(RGB(1, 2, 3), GetBkColor(canvas.Dc()));
    EXPECT_EQ(0xFFEFDEu, canvas.At(2, 3));
    EXPECT_EQ(0xFFEFDEu, GetPixel(canvas.Dc(), 6, 5));
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 10; ++x) {
            bool inside = x >= 2 && x < 7 && y >= 3 && y < 6;
            EXPECT_EQ(inside ? RGB(222, 239, 255) : before[y * 10 + x], canvas.At(x, y)) << x << "," << y;
        }
}

TEST(SkinBitmap, CopyModeDrawsTheWholeBitmapAtThePoint)
{
    // 24 bits, 5 wide: the rows are padded, and bottom-up as LoadImage gives them.
    Source source(5, 3, 24, false);
    ASSERT_TRUE(source.bits);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x)
            source.Set(x, y, SourceColour(x, y));
    Canvas canvas(12, 8);
    ASSERT_TRUE(canvas.Ok());
    FillPattern(canvas);
    std::vector<COLORREF> before = canvas.Snapshot();

    CSkinBitmap skin;
    EXPECT_EQ(0u, skin.m_nMode);
    EXPECT_EQ(0xFF00FFu, skin.m_crTransparent);
    skin.m_hBitmap = source.Get();
    EXPECT_TRUE(skin.Draw(canvas.Dc(), 4, 2));

    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 12; ++x) {
            bool inside = x >= 4 && x < 9 && y >= 2 && y < 5;
            EXPECT_EQ(inside ? SourceColour(x - 4, y - 2) : before[y * 12 + x], canvas.At(x, y)) << x << "," << y;
        }
}

TEST(SkinBitmap, TransparentModeKeepsTheDestinationUnderMagenta)
{
    Source source(4, 3, 24, false);
    ASSERT_TRUE(source.bits);
    // Black and white must survive the mask arithmetic as well.
    const COLORREF colours[3][4] = {
        {RGB(255, 0, 255), RGB(0, 0, 0), RGB(255, 255, 255), RGB(255, 0, 255)},
        {RGB(12, 34, 56), RGB(255, 0, 254), RGB(255, 0, 255), RGB(254, 0, 255)},
        {RGB(255, 0, 255), RGB(255, 0, 255), RGB(255, 0, 255), RGB(0, 0, 1)},
    };
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x)
            source.Set(x, y, colours[y][x]);
    Canvas canvas(8, 6);
    ASSERT_TRUE(canvas.Ok());
    FillPattern(canvas);
    std::vector<COLORREF> before = canvas.Snapshot();
    SetBkColor(canvas.Dc(), RGB(9, 9, 9));
    SetTextColor(canvas.Dc(), RGB(7, 7, 7));

    CSkinBitmap skin;
    skin.m_hBitmap = source.Get();
    skin.m_nMode = SkinDrawTransparent;
    EXPECT_TRUE(skin.Draw(canvas.Dc(), 3, 2));

    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 8; ++x) {
            COLORREF expected = before[y * 8 + x];
            if (x >= 3 && x < 7 && y >= 2 && y < 5 && colours[y - 2][x - 3] != RGB(255, 0, 255))
                expected = colours[y - 2][x - 3];
            EXPECT_EQ(expected, canvas.At(x, y)) << x << "," << y;
        }
    EXPECT_EQ(RGB(255, 255, 255), GetBkColor(canvas.Dc()));
    EXPECT_EQ(RGB(0, 0, 0), GetTextColor(canvas.Dc()));
}

// Enlarged onto the one colour it is drawn on: no key colour survives the
// smoothing, and the edge between two colours gets shades of both.
TEST(SkinBitmap, ScaledOnBackgroundSmoothsAndLeavesNoKeyColour)
{
    Source source(2, 1, 24, false);
    ASSERT_TRUE(source.bits);
    source.Set(0, 0, RGB(255, 0, 255));
    source.Set(1, 0, RGB(0, 0, 160));
    CSkinBitmap skin;
    cf::UniqueGdiObject scaled(CreateScaledOnBackground(source.Get(), RGB(255, 0, 255), RGB(222, 239, 255), 6, 3));
    skin.m_hBitmap = static_cast<HBITMAP>(scaled.Get());
    Canvas canvas(6, 3);
    ASSERT_TRUE(skin.Draw(canvas.Dc(), 0, 0));
    const RECT all = {0, 0, 6, 3};
    EXPECT_EQ(RGB(222, 239, 255), canvas.At(0, 1));
    EXPECT_EQ(RGB(0, 0, 160), canvas.At(5, 1));
    EXPECT_EQ(0, canvas.Count(RGB(255, 0, 255), all));
    EXPECT_LT(canvas.Count(RGB(222, 239, 255), all) + canvas.Count(RGB(0, 0, 160), all), 18);
}

TEST(SkinBitmap, TransparentModeWithoutMagentaDrawsLikeACopy)
{
    Source source(6, 4, 24, false);
    ASSERT_TRUE(source.bits);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x)
            source.Set(x, y, SourceColour(x, y));
    Canvas copied(9, 7), transparent(9, 7);
    ASSERT_TRUE(copied.Ok() && transparent.Ok());
    FillPattern(copied);
    FillPattern(transparent);

    CSkinBitmap skin;
    skin.m_hBitmap = source.Get();
    EXPECT_TRUE(skin.Draw(copied.Dc(), 2, 1));
    skin.m_nMode = SkinDrawTransparent;
    skin.m_crTransparent = RGB(255, 0, 255);
    EXPECT_TRUE(skin.Draw(transparent.Dc(), 2, 1));

    EXPECT_EQ(copied.Snapshot(), transparent.Snapshot());
    EXPECT_EQ(SourceColour(5, 3), transparent.At(7, 4));
    EXPECT_EQ(RGB(255, 255, 255), GetBkColor(transparent.Dc()));
    EXPECT_EQ(RGB(0, 0, 0), GetTextColor(transparent.Dc()));
}

TEST(SkinBitmap, AlphaModeBlendsStraightAlphaInIntegerArithmetic)
{
    // Widths 1 to 5 cover every padding of a 24-bit row (W & 3); both row orders.
    for (bool topDown : {true, false}) {
        for (int width = 1; width <= 5; ++width) {
            SCOPED_TRACE(testing::Message() << "width " << width << (topDown ? " top-down" : " bottom-up"));
            const int height = 3;
            Source source(width, height, 32, topDown);
            ASSERT_TRUE(source.bits);
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x)
                    source.Set(x, y, SourceColour(x, y), kAlphas[(x + 2 * y) % 7]);
            Canvas canvas(width + 4, height + 3);
            ASSERT_TRUE(canvas.Ok());
            FillPattern(canvas);
            std::vector<COLORREF> before = canvas.Snapshot();

            CSkinBitmap skin;
            skin.m_hBitmap = source.Get();
            skin.m_nMode = SkinDrawAlpha;
            EXPECT_TRUE(skin.Draw(canvas.Dc(), 1, 2));

            for (int y = 0; y < height + 3; ++y)
                for (int x = 0; x < width + 4; ++x) {
                    COLORREF expected = before[y * (width + 4) + x];
                    if (x >= 1 && x < 1 + width && y >= 2 && y < 2 + height)
                        expected = BlendPixel(SourceColour(x - 1, y - 2), expected, kAlphas[(x - 1 + 2 * (y - 2)) % 7]);
                    EXPECT_EQ(expected, canvas.At(x, y)) << x << "," << y;
                }
        }
    }
}

TEST(SkinBitmap, AlphaModeAcceptsADeviceDependentBitmap)
{
    const int width = 3, height = 2;
    BYTE pixels[height][width][4];
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            COLORREF c = SourceColour(x, y);
            pixels[y][x][0] = GetBValue(c);
            pixels[y][x][1] = GetGValue(c);
            pixels[y][x][2] = GetRValue(c);
            pixels[y][x][3] = kAlphas[(x + y) % 7];
        }
    cf::UniqueGdiObject bitmap(CreateBitmap(width, height, 1, 32, pixels));
    ASSERT_TRUE(bitmap);
    Canvas canvas(6, 5);
    ASSERT_TRUE(canvas.Ok());
    FillPattern(canvas);
    std::vector<COLORREF> before = canvas.Snapshot();

    CSkinBitmap skin;
    skin.m_hBitmap = static_cast<HBITMAP>(bitmap.Get());
    skin.m_nMode = SkinDrawAlpha;
    EXPECT_TRUE(skin.Draw(canvas.Dc(), 2, 1));

    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            EXPECT_EQ(BlendPixel(SourceColour(x, y), before[(y + 1) * 6 + x + 2], kAlphas[(x + y) % 7]),
                      canvas.At(x + 2, y + 1))
                << x << "," << y;
    EXPECT_EQ(before[0], canvas.At(0, 0));
}

TEST(SkinBitmap, DrawsNothingWithoutABitmapOrWithAnUnknownModeOrDepth)
{
    Source source24(4, 4, 24, false);
    Source source32(4, 4, 32, true);
    ASSERT_TRUE(source24.bits && source32.bits);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) {
            source24.Set(x, y, RGB(1, 2, 3));
            source32.Set(x, y, RGB(1, 2, 3), 255);
        }
    Canvas canvas(8, 8);
    ASSERT_TRUE(canvas.Ok());
    FillPattern(canvas);
    std::vector<COLORREF> before = canvas.Snapshot();

    CSkinBitmap skin;
    EXPECT_FALSE(skin.Draw(canvas.Dc(), 0, 0));

    skin.m_hBitmap = source24.Get();
    skin.m_nMode = SkinDrawAlpha;
    EXPECT_FALSE(skin.Draw(canvas.Dc(), 1, 1));

    skin.m_hBitmap = source32.Get();
    skin.m_nMode = 3;
    EXPECT_FALSE(skin.Draw(canvas.Dc(), 1, 1));

    EXPECT_EQ(before, canvas.Snapshot());
}

namespace {

LOGFONTW Describe(HFONT font)
{
    LOGFONTW description = {};
    EXPECT_EQ(static_cast<int>(sizeof(description)), GetObjectW(font, sizeof(description), &description));
    return description;
}

}  // namespace

TEST(FontPool, IsOneInstanceWithTheTahomaBaseFont)
{
    PellunFontPool* pool = PellunFontPool::GetInstance();
    ASSERT_NE(nullptr, pool);
    EXPECT_EQ(pool, PellunFontPool::GetInstance());
    EXPECT_GE(pool->GetFontCount(), 1u);

    LOGFONTW gui = {};
    ASSERT_EQ(static_cast<int>(sizeof(gui)), GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof(gui), &gui));
    HFONT base = pool->GetFont(0);
    ASSERT_NE(nullptr, base);
    EXPECT_EQ(base, pool->GetFont(0));
    LOGFONTW d = Describe(base);
    EXPECT_EQ(-11, d.lfHeight);
    EXPECT_STREQ(L"Tahoma", d.lfFaceName);
    EXPECT_EQ(gui.lfWeight, d.lfWeight);
    EXPECT_EQ(gui.lfCharSet, d.lfCharSet);
    EXPECT_EQ(gui.lfItalic, d.lfItalic);
    EXPECT_EQ(gui.lfUnderline, d.lfUnderline);
}

TEST(FontPool, KeysSetSizeWeightUnderlineAndItalic)
{
    PellunFontPool* pool = PellunFontPool::GetInstance();
    ASSERT_NE(nullptr, pool);
    struct Case {
        WORD key;
        LONG height;
        LONG weight;
        BYTE underline;
        BYTE italic;
    };
    const Case cases[] = {
        {0x0A00, -21, 400, 0, 0}, {0x0002, -11, 400, 1, 0}, {0x0004, -11, 700, 0, 0},
        {0x0001, -11, 400, 0, 1}, {0xFE00, -9, 400, 0, 0},  {0x0307, -14, 700, 1, 1},
        {0x0008, -11, 400, 0, 0}, {0x8000, 117, 400, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "key 0x" << std::hex << c.key);
        HFONT font = pool->GetFont(c.key);
        ASSERT_NE(nullptr, font);
        LOGFONTW d = Describe(font);
        EXPECT_EQ(c.height, d.lfHeight);
        EXPECT_EQ(c.weight, d.lfWeight);
        EXPECT_EQ(c.underline, d.lfUnderline);
        EXPECT_EQ(c.italic, d.lfItalic);
        EXPECT_STREQ(L"Tahoma", d.lfFaceName);
    }
    // Bits 7-3 carry nothing, yet keep keys apart.
    EXPECT_NE(pool->GetFont(0x0000), pool->GetFont(0x0008));
    EXPECT_NE(pool->GetFont(0x0008), pool->GetFont(0x0010));
}

TEST(FontPool, CachesOneFontPerKey)
{
    PellunFontPool* pool = PellunFontPool::GetInstance();
    ASSERT_NE(nullptr, pool);
    HFONT link = pool->GetFont(0x0002);
    EXPECT_EQ(link, pool->GetFont(0x0002));
    EXPECT_EQ(pool->GetFont(0x0A00), pool->GetFont(0x0A00));

    // A key no other test uses: one new entry, then none.
    size_t count = pool->GetFontCount();
    HFONT fresh = pool->GetFont(0x3150);
    ASSERT_NE(nullptr, fresh);
    EXPECT_EQ(count + 1, pool->GetFontCount());
    EXPECT_EQ(fresh, pool->GetFont(0x3150));
    EXPECT_EQ(count + 1, pool->GetFontCount());
}

TEST(FontPool, GetFontExBuildsTheKey)
{
    PellunFontPool* pool = PellunFontPool::GetInstance();
    ASSERT_NE(nullptr, pool);
    EXPECT_EQ(pool->GetFont(0x0A00), pool->GetFontEx(10, false));
    EXPECT_EQ(pool->GetFont(0x0002), pool->GetFontEx(0, true));
    EXPECT_EQ(pool->GetFont(0x0000), pool->GetFontEx(0, false));
    HFONT smaller = pool->GetFontEx(-2, true);
    EXPECT_EQ(pool->GetFont(0xFE02), smaller);
    LOGFONTW d = Describe(smaller);
    EXPECT_EQ(-9, d.lfHeight);
    EXPECT_EQ(1, d.lfUnderline);
}
