// The painted look of the real CFRepair.exe: its windows are read back from
// the screen (the X server under the test wrapper) and compared pixel by
// pixel with what the bands, lines, logo, icon and links must produce.

#include <gtest/gtest.h>

#include "common/test_util.h"
#include "gui_driver.h"
#include "pixels.h"
#include "support/unique.h"
#include "ui/font_pool.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const COLORREF kBand = RGB(222, 239, 255);
const COLORREF kLinkBlue = RGB(48, 100, 165);
const int kBandHeight = 40;
const int kLogoId = 210, kLogoW = 86, kLogoH = 27;
const int kIconId = 128;
const int kHelpLink = 1009, kHomeLink = 1011, kForumLink = 1012, kViewLogLink = 1005;
const int kStartButton = 1008;

// The client area of a window as the screen shows it.
class ClientShot : public uitest::Dib {
public:
    explicit ClientShot(HWND window) : Dib(ClientSize(window).cx, ClientSize(window).cy)
    {
        POINT origin = {0, 0};
        ClientToScreen(window, &origin);
        HDC screen = GetDC(nullptr);
        m_copied = CopyFrom(screen, origin.x, origin.y);
        ReleaseDC(nullptr, screen);
    }
    bool Ok() const { return m_copied && Width() > 0 && Height() > 0; }

private:
    static SIZE ClientSize(HWND window)
    {
        RECT client = {};
        GetClientRect(window, &client);
        return SIZE{client.right, client.bottom};
    }
    bool m_copied = false;
};

// A child control's rectangle in its dialog's client coordinates.
RECT ControlRect(HWND dialog, int id)
{
    RECT r = {};
    GetWindowRect(GetDlgItem(dialog, id), &r);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

// Pixels of `width` x `height` drawn by `paint` onto a canvas filled with `background`.
template <typename Paint>
std::vector<COLORREF> Render(int width, int height, COLORREF background, Paint paint)
{
    uitest::Dib canvas(width, height);
    if (!canvas.Ok())
        return {};
    canvas.Fill(background);
    paint(canvas.Dc());
    return canvas.Snapshot();
}

INT_PTR CALLBACK QuietDialog(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

class MainWindowLook : public testing::Test {
protected:
    void SetUp() override
    {
        m_exe = cftest::ExeDir() + L"..\\bin\\CFRepair.exe";
        ASSERT_TRUE(cftest::FileExists(m_exe));
        ASSERT_TRUE(m_app.Start(L"\"" + m_exe + L"\""));
        m_main = cfdrive::WaitForWindow(cfdrive::kMainTitle, 30000, m_app.Id());
        ASSERT_NE(nullptr, m_main);
        // Let the first paint reach the screen.
        Sleep(500);
    }

    void TearDown() override
    {
        if (m_main) {
            cfdrive::PressEscape(m_main);
            if (m_app.Wait(10000) != STILL_ACTIVE)
                return;
        }
        m_app.Kill();
    }

    std::wstring m_exe;
    cftest::Child m_app;
    HWND m_main = nullptr;
};

}  // namespace

TEST_F(MainWindowLook, HeaderAndFooterBandsWithTheirLines)
{
    ClientShot shot(m_main);
    ASSERT_TRUE(shot.Ok());
    const int w = shot.Width(), h = shot.Height();
    const COLORREF face = GetSysColor(COLOR_BTNFACE);

    // Columns clear of the icon, the title, the links and the logo.
    for (int x : {2, w / 2 + 120, w - 3}) {
        SCOPED_TRACE(testing::Message() << "x " << x);
        EXPECT_EQ(kBand, shot.At(x, 0));
        EXPECT_EQ(kBand, shot.At(x, kBandHeight - 1));
        EXPECT_EQ(RGB(0, 0, 0), shot.At(x, kBandHeight));
        EXPECT_EQ(face, shot.At(x, kBandHeight + 1));
        EXPECT_EQ(face, shot.At(x, h - kBandHeight - 1));
        EXPECT_EQ(RGB(0, 0, 0), shot.At(x, h - kBandHeight));
        EXPECT_EQ(kBand, shot.At(x, h - kBandHeight + 1));
        EXPECT_EQ(kBand, shot.At(x, h - 1));
    }
}

TEST_F(MainWindowLook, LogoIsDrawnWithItsMagentaTransparentAndIconIntoTheHeader)
{
    ClientShot shot(m_main);
    ASSERT_TRUE(shot.Ok());
    const int w = shot.Width(), h = shot.Height();

    cf::UniqueModule image(LoadLibraryExW(m_exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(image);
    cf::UniqueGdiObject logo(
        LoadImageW(image.Get(), MAKEINTRESOURCEW(kLogoId), IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR));
    ASSERT_TRUE(logo);
    BITMAP info = {};
    ASSERT_TRUE(GetObjectW(logo.Get(), sizeof(info), &info));
    ASSERT_EQ(kLogoW, info.bmWidth);
    ASSERT_EQ(kLogoH, info.bmHeight);
    std::vector<COLORREF> expected = Render(kLogoW, kLogoH, kBand, [&](HDC dc) {
        cf::UniqueDc source(CreateCompatibleDC(dc));
        HGDIOBJ old = SelectObject(source.Get(), logo.Get());
        BitBlt(dc, 0, 0, kLogoW, kLogoH, source.Get(), 0, 0, SRCCOPY);
        SelectObject(source.Get(), old);
    });
    ASSERT_EQ(static_cast<size_t>(kLogoW * kLogoH), expected.size());
    // The logo's magenta surround is its transparent colour: the band shows
    // through there, and only there.
    int transparent = 0;
    for (COLORREF& pixel : expected)
        if (pixel == RGB(255, 0, 255)) {
            pixel = kBand;
            ++transparent;
        }
    EXPECT_GT(transparent, 0);
    const int left = w - 100, top = h - kBandHeight + 7;
    int mismatches = 0;
    for (int y = 0; y < kLogoH; ++y)
        for (int x = 0; x < kLogoW; ++x)
            if (shot.At(left + x, top + y) != expected[y * kLogoW + x])
                ++mismatches;
    EXPECT_EQ(0, mismatches);
    EXPECT_EQ(kBand, shot.At(left - 1, top + kLogoH / 2));
    EXPECT_EQ(kBand, shot.At(left + kLogoW, top + kLogoH / 2));
    EXPECT_EQ(kBand, shot.At(left + kLogoW / 2, top - 1));
    EXPECT_EQ(kBand, shot.At(left + kLogoW / 2, top + kLogoH));

    const int cx = GetSystemMetrics(SM_CXICON), cy = GetSystemMetrics(SM_CYICON);
    HICON icon = static_cast<HICON>(
        LoadImageW(image.Get(), MAKEINTRESOURCEW(kIconId), IMAGE_ICON, cx, cy, LR_DEFAULTCOLOR));
    ASSERT_NE(nullptr, icon);
    std::vector<COLORREF> drawn = Render(cx, cy, kBand, [&](HDC dc) { DrawIcon(dc, 0, 0, icon); });
    DestroyIcon(icon);
    mismatches = 0;
    for (int y = 0; y < cy; ++y)
        for (int x = 0; x < cx; ++x)
            if (shot.At(10 + x, 5 + y) != drawn[y * cx + x])
                ++mismatches;
    EXPECT_EQ(0, mismatches);
}

TEST_F(MainWindowLook, TitleSitsInTheHeaderRightOfTheIcon)
{
    ClientShot shot(m_main);
    ASSERT_TRUE(shot.Ok());
    const int w = shot.Width();
    // Dark text pixels between x 50 and W - 50, vertically centred on the band.
    int top = kBandHeight, bottom = -1, leftmost = w, count = 0;
    for (int y = 0; y < kBandHeight; ++y)
        for (int x = 44; x < w; ++x) {
            COLORREF c = shot.At(x, y);
            if (GetRValue(c) < 96 && GetGValue(c) < 96 && GetBValue(c) < 96) {
                ++count;
                top = y < top ? y : top;
                bottom = y > bottom ? y : bottom;
                leftmost = x < leftmost ? x : leftmost;
            }
        }
    ASSERT_GT(count, 200);
    EXPECT_GE(leftmost, 50);
    EXPECT_LE(leftmost, 54);
    // The 21-pixel font: glyphs between 12 and 22 rows, the band's centre inside them.
    EXPECT_GE(bottom - top + 1, 12);
    EXPECT_LE(bottom - top + 1, 22);
    EXPECT_LE(top, kBandHeight / 2);
    EXPECT_GE(bottom, kBandHeight / 2);
    EXPECT_LE(std::abs((top + bottom) - kBandHeight), 6);
}

TEST_F(MainWindowLook, LinksPaintTheirOwnBackgroundsInLinkBlue)
{
    ClientShot shot(m_main);
    ASSERT_TRUE(shot.Ok());
    const struct {
        int id;
        COLORREF background;
    } links[] = {{kHelpLink, GetSysColor(COLOR_BTNFACE)}, {kHomeLink, kBand}, {kForumLink, kBand}};
    for (const auto& link : links) {
        SCOPED_TRACE(testing::Message() << "link " << link.id);
        RECT r = ControlRect(m_main, link.id);
        ASSERT_GT(r.right - r.left, 0);
        // Top-left aligned text: the bottom row and the right end show the background.
        EXPECT_EQ(link.background, shot.At(r.right - 1, r.bottom - 1));
        EXPECT_EQ(link.background, shot.At(r.left, r.bottom - 1));
        EXPECT_GE(shot.Count(kLinkBlue, r), 20);
        EXPECT_EQ(0, shot.Count(RGB(255, 0, 0), r));
        // Everything in the control is background or text.
        const int area = (r.right - r.left) * (r.bottom - r.top);
        EXPECT_GE(shot.Count(link.background, r), area / 2);
    }
    // The two footer links lie inside the footer band.
    EXPECT_GT(ControlRect(m_main, kHomeLink).top, shot.Height() - kBandHeight);
    EXPECT_GT(ControlRect(m_main, kForumLink).top, shot.Height() - kBandHeight);
}

TEST_F(MainWindowLook, ResultDialogShowsTheViewLogLink)
{
    cfdrive::PressButton(m_main, kStartButton);
    HWND result = cfdrive::WaitForWindow(cfdrive::kResultTitle, 60000, m_app.Id());
    ASSERT_NE(nullptr, result);
    Sleep(500);
    ClientShot shot(result);
    ASSERT_TRUE(shot.Ok());
    RECT r = ControlRect(result, kViewLogLink);
    ASSERT_GT(r.right - r.left, 0);
    EXPECT_EQ(GetSysColor(COLOR_BTNFACE), shot.At(r.right - 1, r.bottom - 1));
    EXPECT_GE(shot.Count(kLinkBlue, r), 20);
    EXPECT_EQ(0, shot.Count(RGB(255, 0, 0), r));
    cfdrive::AnswerBox(result, IDCANCEL);
    EXPECT_TRUE(cfdrive::WaitForWindowGone(result, 10000));
    EXPECT_TRUE(cfdrive::WaitForControlText(m_main, kStartButton, cfdrive::kStartCaption, 10000));
}

// The fonts as GDI selects them, not as asked: both dialogs' template font
// and the pool's header and link fonts must come out in the GB2312 character
// set, with a glyph of their own for every character the windows show, at
// the height asked.
TEST(DrawnFonts, DialogsHeaderAndLinksGetAChineseFaceAtTheAskedHeight)
{
    const std::wstring exe = cftest::ExeDir() + L"..\\bin\\CFRepair.exe";
    cf::UniqueModule image(LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(image);
    HDC dc = GetDC(nullptr);
    struct Drawn {
        HFONT font;
        int height;
    };
    std::vector<Drawn> fonts;
    std::vector<HWND> dialogs;
    std::wstring shown = cfdrive::kMainTitle;  // the painted header
    for (int id : {129, 202}) {
        HRSRC info = FindResourceW(image.Get(), MAKEINTRESOURCEW(id), RT_DIALOG);
        ASSERT_NE(nullptr, info) << id;
        const auto* dialogTemplate = static_cast<const DLGTEMPLATE*>(LockResource(LoadResource(image.Get(), info)));
        dialogs.push_back(
            CreateDialogIndirectParamW(GetModuleHandleW(nullptr), dialogTemplate, nullptr, QuietDialog, 0));
        ASSERT_NE(nullptr, dialogs.back()) << id;
        fonts.push_back({reinterpret_cast<HFONT>(SendMessageW(dialogs.back(), WM_GETFONT, 0, 0)),
                         MulDiv(9, GetDeviceCaps(dc, LOGPIXELSY), 72)});
        for (HWND window = dialogs.back(); window;
             window = GetWindow(window, window == dialogs.back() ? GW_CHILD : GW_HWNDNEXT)) {
            wchar_t text[256] = L"";
            GetWindowTextW(window, text, 256);
            if (text[0] != 0xFFFF)  // an icon's resource number, not text
                shown += text;
        }
    }
    PellunFontPool* pool = PellunFontPool::GetInstance();
    ASSERT_NE(nullptr, pool);
    fonts.push_back({pool->GetFont(0x0A00), 21});  // the header
    fonts.push_back({pool->GetFont(0x0002), 11});  // the links

    for (size_t i = 0; i < fonts.size(); ++i) {
        ASSERT_NE(nullptr, fonts[i].font) << i;
        HGDIOBJ previous = SelectObject(dc, fonts[i].font);
        wchar_t face[LF_FACESIZE] = L"";
        GetTextFaceW(dc, LF_FACESIZE, face);
        TEXTMETRICW metrics = {};
        GetTextMetricsW(dc, &metrics);
        std::vector<WORD> glyphs(shown.size());
        const DWORD mapped = GetGlyphIndicesW(dc, shown.c_str(), static_cast<int>(shown.size()), glyphs.data(),
                                              GGI_MARK_NONEXISTING_GLYPHS);
        SelectObject(dc, previous);
        SCOPED_TRACE(testing::Message() << "font " << i << ": " << cftest::Narrow(face));
        EXPECT_EQ(GB2312_CHARSET, metrics.tmCharSet);
        EXPECT_EQ(shown.size(), mapped);
        EXPECT_EQ(0, std::count(glyphs.begin(), glyphs.end(), WORD(0xFFFF)));
        EXPECT_EQ(fonts[i].height, metrics.tmHeight - metrics.tmInternalLeading);
    }
    ReleaseDC(nullptr, dc);
    for (HWND dialog : dialogs)
        DestroyWindow(dialog);
}
