// The test prefix must be what the other tests assume: Chinese code page,
// and no drive that reaches outside the build tree (the product deletes
// and rewrites files on every drive root).

#include <gtest/gtest.h>

#include "common/test_util.h"

#include <shlwapi.h>

#include <string>

TEST(TestPrefix, UsesTheChineseAnsiCodePage)
{
    EXPECT_EQ(936u, GetACP());
    char bytes[8] = {};
    int n = WideCharToMultiByte(CP_THREAD_ACP, 0, L"修复", -1, bytes, sizeof(bytes), nullptr, nullptr);
    ASSERT_EQ(5, n);
    EXPECT_EQ("d0deb8b4", cftest::Hex(bytes, 4));
}

TEST(TestPrefix, NoDriveReachesTheLinuxRoot)
{
    wchar_t drives[512] = {};
    DWORD n = GetLogicalDriveStringsW(ARRAYSIZE(drives), drives);
    ASSERT_GT(n, 0u);
    for (const wchar_t* d = drives; *d; d += wcslen(d) + 1) {
        // /etc/passwd and /proc exist under the Linux root and nowhere in our folders.
        std::wstring root = d;
        EXPECT_FALSE(cftest::FileExists(root + L"etc\\passwd")) << cftest::Narrow(root);
        EXPECT_FALSE(cftest::FileExists(root + L"proc\\self")) << cftest::Narrow(root);
    }
}

TEST(TestPrefix, ShareModeZeroGivesSharingViolation)
{
    cftest::ScratchDir dir;
    std::wstring file = dir / L"held.bin";
    ASSERT_TRUE(cftest::WriteFileBytes(file, "data"));
    cftest::Child holder;
    ASSERT_TRUE(holder.Start(L"\"" + cftest::ToolPath(L"holdfile.exe") + L"\" \"" + file + L"\" 20000"));
    ASSERT_TRUE(cftest::WaitForFile(file + L".held"));
    SetLastError(0);
    EXPECT_FALSE(DeleteFileW(file.c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    holder.Kill();
}

TEST(TestPrefix, HasTheChineseFontReplacements)
{
    wchar_t face[64] = {};
    DWORD size = sizeof(face);
    DWORD type = 0;
    LONG status = SHGetValueW(HKEY_CURRENT_USER, L"Software\\Wine\\Fonts\\Replacements", L"宋体", &type, face, &size);
    ASSERT_EQ(ERROR_SUCCESS, status);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_STREQ(L"WenQuanYi Micro Hei", face);
}
