// The link control on a real window, driven by real pointer input through
// the X server (Xvfb under the test wrapper).

#include <gtest/gtest.h>

#include "pixels.h"
#include "support/unique.h"
#include "ui/font_pool.h"
#include "ui/simple_link.h"

#include <vector>

namespace {

const COLORREF kBlue = RGB(48, 100, 165);
const COLORREF kRed = RGB(255, 0, 0);
const int kLinkId = 1011;

// Where the test window and its link sit on the screen.
const int kWindowX = 200, kWindowY = 200, kWindowW = 320, kWindowH = 140;
const int kLinkX = 20, kLinkY = 30, kLinkW = 200, kLinkH = 24;

struct CommandLog {
    int count = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
} g_commands;

LRESULT CALLBACK ParentProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COMMAND) {
        ++g_commands.count;
        g_commands.wParam = wParam;
        g_commands.lParam = lParam;
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

class CountingLink : public CSimpleLink {
public:
    int m_nPaints = 0;

protected:
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override
    {
        if (message == WM_PAINT)
            ++m_nPaints;
        return CSimpleLink::OnMessage(message, wParam, lParam, result);
    }
};

void Pump()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

template <typename Done>
bool PumpUntil(Done done, DWORD timeoutMs = 3000)
{
    DWORD start = GetTickCount();
    for (;;) {
        Pump();
        if (done())
            return true;
        if (GetTickCount() - start > timeoutMs)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
}

void PumpFor(DWORD ms)
{
    PumpUntil([] { return false; }, ms);
}

void Mouse(DWORD flags, int x = 0, int y = 0)
{
    INPUT input = {};
    input.type = INPUT_MOUSE;
    if (flags & MOUSEEVENTF_MOVE) {
        // Absolute coordinates are 0..65535 across the primary screen.
        int w = GetSystemMetrics(SM_CXSCREEN), h = GetSystemMetrics(SM_CYSCREEN);
        input.mi.dx = static_cast<LONG>((x * 65535LL + (w - 1) / 2) / (w - 1));
        input.mi.dy = static_cast<LONG>((y * 65535LL + (h - 1) / 2) / (h - 1));
        flags |= MOUSEEVENTF_ABSOLUTE;
    }
    input.mi.dwFlags = flags;
    SendInput(1, &input, sizeof(input));
}

void MoveTo(int x, int y) { Mouse(MOUSEEVENTF_MOVE, x, y); }

class LinkTest : public testing::Test {
protected:
    void SetUp() override
    {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = ParentProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        wc.lpszClassName = L"CFRepairLinkTestParent";
        RegisterClassW(&wc);  // already registered on the second test: fine
        g_commands = CommandLog();
        // The pointer stays where an earlier program left it (the server
        // outlives test programs); over the new link it would start hovered.
        MoveTo(kWindowX + kWindowW + 60, kWindowY + kWindowH + 60);

        m_parent = CreateWindowExW(WS_EX_TOPMOST, wc.lpszClassName, L"link test", WS_POPUP | WS_VISIBLE, kWindowX,
                                   kWindowY, kWindowW, kWindowH, nullptr, nullptr, wc.hInstance, nullptr);
        ASSERT_NE(nullptr, m_parent);
        m_static = CreateWindowExW(0, L"STATIC", L"Tavelo link", WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOTIFY, kLinkX,
                                   kLinkY, kLinkW, kLinkH, m_parent,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(kLinkId)), wc.hInstance, nullptr);
        ASSERT_NE(nullptr, m_static);
        ASSERT_TRUE(m_link.SubclassWindow(m_static));
        UpdateWindow(m_parent);
        Pump();
    }

    void TearDown() override
    {
        if (GetCapture())
            ReleaseCapture();
        if (m_parent)
            DestroyWindow(m_parent);
        Pump();
    }

    // Pixels of the link's client area that are exactly `colour`.
    int CountPixels(COLORREF colour)
    {
        RECT client;
        GetClientRect(m_static, &client);
        uitest::Dib shot(client.right, client.bottom);
        HDC windowDc = GetDC(m_static);
        bool copied = shot.CopyFrom(windowDc, 0, 0);
        ReleaseDC(m_static, windowDc);
        EXPECT_TRUE(copied);
        return shot.Count(colour, client);
    }

    COLORREF CornerPixel()
    {
        HDC dc = GetDC(m_static);
        COLORREF c = GetPixel(dc, kLinkW - 2, kLinkH - 2);
        ReleaseDC(m_static, dc);
        return c;
    }

    void Repaint()
    {
        InvalidateRect(m_static, nullptr, FALSE);
        UpdateWindow(m_static);
    }

    int LinkScreenX(int dx) const { return kWindowX + kLinkX + dx; }
    int LinkScreenY(int dy) const { return kWindowY + kLinkY + dy; }

    HWND m_parent = nullptr;
    HWND m_static = nullptr;
    CountingLink m_link;
};

}  // namespace

TEST(SimpleLink, StartsWithTheButtonFaceBackgroundAndNoHover)
{
    CSimpleLink fresh;
    EXPECT_EQ(GetSysColor(COLOR_BTNFACE), fresh.m_crBackground);
    EXPECT_EQ(0, fresh.m_bHover);
    EXPECT_EQ(nullptr, fresh.m_hWnd);
    EXPECT_FALSE(fresh.SubclassWindow(nullptr));
}

TEST_F(LinkTest, PaintsUnderlinedTextInLinkBlueOnItsBackground)
{
    Repaint();
    EXPECT_EQ(GetSysColor(COLOR_BTNFACE), CornerPixel());
    // The underline is drawn solid in the text colour.
    EXPECT_GE(CountPixels(kBlue), 20);
    EXPECT_EQ(0, CountPixels(kRed));

    m_link.m_crBackground = RGB(222, 239, 255);
    Repaint();
    EXPECT_EQ(RGB(222, 239, 255), CornerPixel());
    EXPECT_GE(CountPixels(kBlue), 20);
}

TEST_F(LinkTest, PaintingCreatesNoFontAfterTheFirstPaint)
{
    Repaint();
    size_t fonts = PellunFontPool::GetInstance()->GetFontCount();
    int paints = m_link.m_nPaints;
    for (int i = 0; i < 10; ++i)
        Repaint();
    EXPECT_EQ(paints + 10, m_link.m_nPaints);
    EXPECT_EQ(fonts, PellunFontPool::GetInstance()->GetFontCount());
}

TEST_F(LinkTest, DoesNotEraseItsBackground)
{
    HDC windowDc = GetDC(m_static);
    cf::UniqueDc memory(CreateCompatibleDC(windowDc));
    cf::UniqueGdiObject bitmap(CreateCompatibleBitmap(windowDc, 4, 4));
    ReleaseDC(m_static, windowDc);
    HGDIOBJ old = SelectObject(memory.Get(), bitmap.Get());
    SetPixel(memory.Get(), 1, 1, RGB(1, 2, 3));

    EXPECT_EQ(1, SendMessageW(m_static, WM_ERASEBKGND, reinterpret_cast<WPARAM>(memory.Get()), 0));
    EXPECT_EQ(RGB(1, 2, 3), GetPixel(memory.Get(), 1, 1));
    SelectObject(memory.Get(), old);
}

TEST_F(LinkTest, HoverTurnsTheTextRedAtOnceAndLeavingTurnsItBack)
{
    MoveTo(kWindowX + 5, kWindowY + kWindowH - 5);  // inside the window, off the link
    PumpFor(200);
    ASSERT_EQ(0, m_link.m_bHover);
    int paints = m_link.m_nPaints;

    MoveTo(LinkScreenX(30), LinkScreenY(8));
    ASSERT_TRUE(PumpUntil([&] { return m_link.m_nPaints > paints; }));
    EXPECT_NE(0, m_link.m_bHover);
    EXPECT_GE(CountPixels(kRed), 20);
    EXPECT_EQ(0, CountPixels(kBlue));
    EXPECT_EQ(LoadCursorW(nullptr, IDC_HAND), GetCursor());

    // Moving inside the link neither repaints nor drops the hover.
    paints = m_link.m_nPaints;
    for (int i = 0; i < 6; ++i) {
        MoveTo(LinkScreenX(40 + 20 * i), LinkScreenY(4 + 2 * i));
        PumpFor(60);
    }
    EXPECT_EQ(paints, m_link.m_nPaints);
    EXPECT_NE(0, m_link.m_bHover);

    MoveTo(kWindowX + 5, kWindowY + kWindowH - 5);
    ASSERT_TRUE(PumpUntil([&] { return m_link.m_bHover == 0 && m_link.m_nPaints > paints; }));
    EXPECT_GE(CountPixels(kBlue), 20);
    EXPECT_EQ(0, CountPixels(kRed));
}

TEST_F(LinkTest, ReleaseAfterDraggingOffStillSendsTheCommand)
{
    MoveTo(LinkScreenX(30), LinkScreenY(8));
    ASSERT_TRUE(PumpUntil([&] { return m_link.m_bHover != 0; }));
    Mouse(MOUSEEVENTF_LEFTDOWN);
    ASSERT_TRUE(PumpUntil([&] { return GetCapture() == m_static; }));
    EXPECT_EQ(0, g_commands.count);  // nothing on press

    // Off the link and off the whole window.
    MoveTo(kWindowX + kWindowW + 60, kWindowY + kWindowH + 60);
    PumpFor(150);
    EXPECT_EQ(0, g_commands.count);
    Mouse(MOUSEEVENTF_LEFTUP);
    ASSERT_TRUE(PumpUntil([] { return g_commands.count > 0; }));
    EXPECT_EQ(1, g_commands.count);
    EXPECT_EQ(MAKEWPARAM(kLinkId, 0), g_commands.wParam);
    EXPECT_EQ(0, g_commands.lParam);
    EXPECT_EQ(nullptr, GetCapture());
    // The pointer is no longer over the link: it must not stay red.
    EXPECT_TRUE(PumpUntil([&] { return m_link.m_bHover == 0; }));
    EXPECT_EQ(0, CountPixels(kRed));
}

TEST_F(LinkTest, AClickAndADoubleClickEachSendOneCommand)
{
    MoveTo(LinkScreenX(10), LinkScreenY(10));
    ASSERT_TRUE(PumpUntil([&] { return m_link.m_bHover != 0; }));
    Mouse(MOUSEEVENTF_LEFTDOWN);
    Mouse(MOUSEEVENTF_LEFTUP);
    ASSERT_TRUE(PumpUntil([] { return g_commands.count > 0; }));
    PumpFor(100);
    EXPECT_EQ(1, g_commands.count);
    EXPECT_EQ(MAKEWPARAM(kLinkId, STN_CLICKED), g_commands.wParam);

    // The static's class takes double-clicks: the second press comes as
    // WM_LBUTTONDBLCLK, which the static would report as STN_DBLCLK.
    PumpFor(GetDoubleClickTime() + 100);
    for (DWORD flags : {MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP, MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP})
        Mouse(flags);
    ASSERT_TRUE(PumpUntil([] { return g_commands.count > 1; }));
    PumpFor(300);
    EXPECT_EQ(2, g_commands.count);
    EXPECT_EQ(MAKEWPARAM(kLinkId, STN_CLICKED), g_commands.wParam);
    EXPECT_EQ(nullptr, GetCapture());
}
