// The painted look of the real CFRepair.exe: its windows are read back from
// the screen (the X server under the test wrapper) and compared pixel by
// pixel with what the bands, lines, logo, icon and links must produce. The
// measures are those of a 96-DPI screen, scaled by the screen's DPI / 96.

#include <gtest/gtest.h>

#include "common/test_util.h"
#include "gui_driver.h"
#include "pixels.h"
#include "support/unique.h"
#include "app/ok_dlg.h"
#include "ui/dpi.h"
#include "ui/font_pool.h"
#include "ui/skin_bitmap.h"

#include <shlwapi.h>

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
const int kStartButton = 1008, kStatus = 1017, kResultText = 1019, kQuestion = 1022;

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

int S(int pixels) { return MulDiv(pixels, ScreenDpi(), 96); }

// A hidden in-process copy of dialog template `id` of the exe.
HWND TemplateDialog(HMODULE image, int id)
{
    HRSRC info = FindResourceW(image, MAKEINTRESOURCEW(id), RT_DIALOG);
    const auto* body = info ? static_cast<const DLGTEMPLATE*>(LockResource(LoadResource(image, info))) : nullptr;
    return body ? CreateDialogIndirectParamW(GetModuleHandleW(nullptr), body, nullptr, QuietDialog, 0) : nullptr;
}

// Each text static of a live dialog holds its text (links in the link font,
// the others in the template's font); the result static every result text.
void ExpectTextsFit(HWND dialog, const std::wstring& exe, int templateId, std::initializer_list<int> ids)
{
    cf::UniqueModule image(LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    HWND copy = TemplateDialog(image.Get(), templateId);
    HDC dc = GetDC(nullptr);
    for (int id : ids) {
        const bool link = id == kHelpLink || id == kHomeLink || id == kForumLink || id == kViewLogLink;
        HGDIOBJ previous = SelectObject(dc, link ? PellunFontPool::GetInstance()->GetFont(0x0002)
                                                 : reinterpret_cast<HFONT>(SendMessageW(copy, WM_GETFONT, 0, 0)));
        std::vector<std::wstring> texts = {cfdrive::ControlText(dialog, id)};
        for (int variant = 0; id == kResultText && variant < 32; ++variant)
            texts.push_back(COKDlg::BuildResultText(variant & 1, variant & 2, variant & 4, variant & 8, variant & 16));
        RECT client = {};
        GetClientRect(GetDlgItem(dialog, id), &client);
        for (const std::wstring& text : texts) {
            RECT need = client;
            // Only the result static is meant to wrap.
            const UINT lines = id == kResultText ? DT_WORDBREAK : DT_SINGLELINE;
            DrawTextW(dc, text.c_str(), -1, &need, DT_CALCRECT | DT_NOPREFIX | lines);
            EXPECT_TRUE(need.right <= client.right && need.bottom <= client.bottom) << id << cftest::Narrow(text);
        }
        SelectObject(dc, previous);
    }
    ReleaseDC(nullptr, dc);
    DestroyWindow(copy);
}

class MainWindowLook : public testing::Test {
protected:
    void SetUp() override
    {
        // A run at another DPI must really be at it, or it would pass as a 96-DPI one;
        // and the pixel-exact run must not inherit a DPI an ended run left behind.
        wchar_t asked[8] = L"96";
        GetEnvironmentVariableW(L"CF_TEST_DPI", asked, 8);
        ASSERT_EQ(_wtoi(asked), ScreenDpi());
        m_exe = cftest::ProductExe();
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
    const int band = S(kBandHeight), line = S(1);

    // Columns clear of the icon, the title, the links and the logo.
    for (int x : {2, w / 2 + S(120), w - 3}) {
        SCOPED_TRACE(testing::Message() << "x " << x);
        EXPECT_EQ(kBand, shot.At(x, 0));
        EXPECT_EQ(kBand, shot.At(x, band - 1));
        for (int y = 0; y < line; ++y) {
            EXPECT_EQ(RGB(0, 0, 0), shot.At(x, band + y));
            EXPECT_EQ(RGB(0, 0, 0), shot.At(x, h - band + y));
        }
        EXPECT_EQ(face, shot.At(x, band + line));
        EXPECT_EQ(face, shot.At(x, h - band - 1));
        EXPECT_EQ(kBand, shot.At(x, h - band + line));
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
    // On a larger screen the logo is smoothed to its scaled size onto the band.
    const int logoW = S(kLogoW), logoH = S(kLogoH);
    if (logoW != kLogoW) {
        CSkinBitmap scaled;
        scaled.m_hBitmap =
            CreateScaledOnBackground(static_cast<HBITMAP>(logo.Get()), RGB(255, 0, 255), kBand, logoW, logoH);
        cf::UniqueGdiObject owned(scaled.m_hBitmap);
        expected = Render(logoW, logoH, kBand, [&](HDC dc) { scaled.Draw(dc, 0, 0); });
    }
    const int left = w - S(100), top = h - S(kBandHeight) + S(7);
    int mismatches = 0;
    for (int y = 0; y < logoH; ++y)
        for (int x = 0; x < logoW; ++x)
            mismatches += shot.At(left + x, top + y) != expected[y * logoW + x];
    EXPECT_EQ(0, mismatches);
    EXPECT_EQ(kBand, shot.At(left - 1, top + logoH / 2));
    EXPECT_EQ(kBand, shot.At(left + logoW, top + logoH / 2));
    EXPECT_EQ(kBand, shot.At(left + logoW / 2, top - 1));
    EXPECT_EQ(kBand, shot.At(left + logoW / 2, top + logoH));

    // The icon at the header's size from the icon's own images, the band below it.
    const int size = S(32), iconX = S(10), iconY = S(5);
    HICON icon = static_cast<HICON>(
        LoadImageW(image.Get(), MAKEINTRESOURCEW(kIconId), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
    ASSERT_NE(nullptr, icon);
    std::vector<COLORREF> drawn =
        Render(size, size, kBand, [&](HDC dc) { DrawIconEx(dc, 0, 0, icon, size, size, 0, nullptr, DI_NORMAL); });
    DestroyIcon(icon);
    mismatches = 0;
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x)
            mismatches += shot.At(iconX + x, iconY + y) != drawn[y * size + x];
    EXPECT_EQ(0, mismatches);
    const RECT below = {iconX, iconY + size, iconX + size, S(kBandHeight)};
    EXPECT_EQ(size * (below.bottom - below.top), shot.Count(kBand, below));
}

TEST_F(MainWindowLook, TitleSitsInTheHeaderRightOfTheIcon)
{
    ClientShot shot(m_main);
    ASSERT_TRUE(shot.Ok());
    const int w = shot.Width();
    // Dark text pixels between x 50 and W - 50, none over the icon, vertically centred on the band.
    const int band = S(kBandHeight);
    int top = band, bottom = -1, leftmost = w, count = 0;
    for (int y = 0; y < band; ++y)
        for (int x = 0; x < w; ++x) {
            COLORREF c = shot.At(x, y);
            if (GetRValue(c) < 96 && GetGValue(c) < 96 && GetBValue(c) < 96) {
                ++count;
                top = y < top ? y : top;
                bottom = y > bottom ? y : bottom;
                leftmost = x < leftmost ? x : leftmost;
            }
        }
    ASSERT_GT(count, 200);
    EXPECT_GE(leftmost, S(50));
    EXPECT_LE(leftmost, S(54));
    // The 21-pixel font: glyphs between 12 and 22 rows, the band's centre inside them.
    EXPECT_GE(bottom - top + 1, S(12));
    EXPECT_LE(bottom - top + 1, S(22));
    EXPECT_LE(top, band / 2);
    EXPECT_GE(bottom, band / 2);
    EXPECT_LE(std::abs((top + bottom) - band), S(6));
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
        // Painted background and all inside its band, the band showing above it.
        const bool footer = link.id != kHelpLink;
        EXPECT_GE(r.top, footer ? shot.Height() - S(kBandHeight) + S(1) : S(kBandHeight) + S(1));
        EXPECT_LE(r.bottom, footer ? shot.Height() : shot.Height() - S(kBandHeight));
        EXPECT_EQ(link.background, shot.At(r.left, r.top - 1));
    }
    ExpectTextsFit(m_main, m_exe, 129, {kHelpLink, kHomeLink, kForumLink, kStatus});
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
    ExpectTextsFit(result, m_exe, 202, {kResultText, kQuestion, kViewLogLink});
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
    const std::wstring exe = cftest::ProductExe();
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
        dialogs.push_back(TemplateDialog(image.Get(), id));
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
    fonts.push_back({pool->GetFont(0x0A00), S(21)});  // the header
    fonts.push_back({pool->GetFont(0x0002), S(11)});  // the links

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
        EXPECT_NEAR(fonts[i].height, metrics.tmHeight - metrics.tmInternalLeading, ScreenDpi() == 96 ? 0 : 1);
    }
    ReleaseDC(nullptr, dc);
    for (HWND dialog : dialogs)
        DestroyWindow(dialog);
}

// Every test above once more at a larger screen DPI, in a process of its
// own (Wine reads LogPixels as a process starts), with the product started
// from there. The setting is put back afterwards.
class AtScreenDpi : public testing::TestWithParam<int> {};

TEST_P(AtScreenDpi, EveryLookHolds)
{
    const wchar_t key[] = L"Control Panel\\Desktop";
    DWORD before = 0, size = sizeof(before), dpi = GetParam();
    const bool had = SHGetValueW(HKEY_CURRENT_USER, key, L"LogPixels", nullptr, &before, &size) == ERROR_SUCCESS;
    ASSERT_EQ(ERROR_SUCCESS, SHSetValueW(HKEY_CURRENT_USER, key, L"LogPixels", REG_DWORD, &dpi, sizeof(dpi)));
    SetEnvironmentVariableW(L"CF_TEST_DPI", std::to_wstring(dpi).c_str());
    cftest::Child run;
    const std::wstring self = L"\"" + cftest::ExeDir() + L"test_ui_main_window.exe\"";
    const DWORD code = run.Start(self + L" --gtest_filter=MainWindowLook.*:DrawnFonts.*") ? run.Wait(240000) : 1;
    SetEnvironmentVariableW(L"CF_TEST_DPI", nullptr);
    had ? SHSetValueW(HKEY_CURRENT_USER, key, L"LogPixels", REG_DWORD, &before, sizeof(before))
        : SHDeleteValueW(HKEY_CURRENT_USER, key, L"LogPixels");
    if (code == STILL_ACTIVE)
        run.Kill();
    EXPECT_EQ(0u, code);
}

INSTANTIATE_TEST_SUITE_P(Screen, AtScreenDpi, testing::Values(120, 144));
