#include "support/registry_key.h"

#include "common/test_util.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using cftest::ScratchKey;

void SetRaw(HKEY key, const wchar_t* name, DWORD type, const void* data, DWORD size)
{
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size));
}

void SetText(HKEY key, const wchar_t* name, DWORD type, const std::wstring& text)
{
    SetRaw(key, name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

bool KeyExists(HKEY root, const std::wstring& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

TEST(RegistryKeyTest, OpenCloseAndAFailedOpenLeaveTheExpectedState)
{
    ScratchKey scratch;
    CRegistryKey key;
    EXPECT_TRUE(key.IsClosed());
    EXPECT_EQ(nullptr, key.GetRoot());

    ASSERT_TRUE(key.Open(HKEY_CURRENT_USER, scratch.SubPath().c_str()));
    EXPECT_FALSE(key.IsClosed());
    EXPECT_EQ(HKEY_CURRENT_USER, key.GetRoot());
    // Opening again replaces the key held (the earlier one is closed, not leaked).
    ASSERT_TRUE(key.Open(HKEY_CURRENT_USER, scratch.SubPath().c_str()));
    EXPECT_FALSE(key.Open(HKEY_CURRENT_USER, (scratch.SubPath() + L"\\missing").c_str()));
    EXPECT_TRUE(key.IsClosed());

    CRegistryKey opened(HKEY_CURRENT_USER, scratch.SubPath().c_str());
    EXPECT_FALSE(opened.IsClosed());
    opened.Close();
    EXPECT_TRUE(opened.IsClosed());
    opened.Close();
    CRegistryKey missing(HKEY_CURRENT_USER, (scratch.SubPath() + L"\\missing").c_str());
    EXPECT_TRUE(missing.IsClosed());
    EXPECT_FALSE(missing.SetDwordValue(L"v", 1));
    EXPECT_FALSE(missing.DeleteValue(L"v"));
    EXPECT_FALSE(missing.ValueExists(L"v"));
    std::wstring name;
    EXPECT_FALSE(missing.FindValueNameByData(L"x", name));
}

TEST(RegistryKeyTest, CreateNeedsAKeyAndMovesToAVolatileSubKey)
{
    ScratchKey scratch;
    CRegistryKey closed;
    EXPECT_FALSE(closed.Create(L"never"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, scratch.SubPath() + L"\\never"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, L"never"));

    CRegistryKey key(HKEY_CURRENT_USER, scratch.SubPath().c_str());
    ASSERT_TRUE(key.Create(L"child"));
    ASSERT_TRUE(key.SetDwordValue(L"marker", 7));
    DWORD value = 0;
    DWORD size = sizeof(value);
    HKEY child = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_CURRENT_USER, (scratch.SubPath() + L"\\child").c_str(), 0, KEY_READ, &child));
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(child, L"marker", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size));
    RegCloseKey(child);
    EXPECT_EQ(7u, value);

    // A volatile key refuses a lasting child: that is how its kind shows.
    HKEY lasting = nullptr;
    EXPECT_EQ(ERROR_CHILD_MUST_BE_VOLATILE,
              RegCreateKeyExW(HKEY_CURRENT_USER, (scratch.SubPath() + L"\\child\\lasting").c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &lasting, nullptr));

    // An existing key is opened, not replaced.
    CRegistryKey again(HKEY_CURRENT_USER, scratch.SubPath().c_str());
    ASSERT_TRUE(again.Create(L"child"));
    EXPECT_TRUE(again.ValueExists(L"marker"));
}

TEST(RegistryKeyTest, QueriesAcceptAnyTypeAndDeleteReportsMissingValues)
{
    ScratchKey scratch;
    CRegistryKey key(HKEY_CURRENT_USER, scratch.SubPath().c_str());
    ASSERT_FALSE(key.IsClosed());

    SetText(scratch.Get(), L"expand", REG_EXPAND_SZ, L"%SystemRoot%\\x");
    std::wstring text = L"old";
    ASSERT_TRUE(key.QueryStringValue(L"expand", text));
    EXPECT_EQ(L"%SystemRoot%\\x", text);

    const BYTE bytes[4] = {0x78, 0x56, 0x34, 0x12};
    SetRaw(scratch.Get(), L"binary", REG_BINARY, bytes, sizeof(bytes));
    DWORD number = 0;
    ASSERT_TRUE(key.QueryDwordValue(L"binary", number));
    EXPECT_EQ(0x12345678u, number);

    number = 99;
    EXPECT_FALSE(key.QueryDwordValue(L"missing", number));
    EXPECT_EQ(99u, number);
    EXPECT_FALSE(key.QueryStringValue(L"missing", text));
    EXPECT_EQ(L"%SystemRoot%\\x", text);

    EXPECT_FALSE(key.DeleteValue(L"missing"));
    EXPECT_TRUE(key.DeleteValue(L"binary"));
    EXPECT_FALSE(key.ValueExists(L"binary"));
}

TEST(RegistryKeyTest, StringQueryIsBoundedAt259Characters)
{
    ScratchKey scratch;
    CRegistryKey key(HKEY_CURRENT_USER, scratch.SubPath().c_str());
    std::wstring fits(MAX_PATH - 1, L'f');
    SetText(scratch.Get(), L"fits", REG_SZ, fits);
    std::wstring text;
    ASSERT_TRUE(key.QueryStringValue(L"fits", text));
    EXPECT_EQ(fits, text);

    SetText(scratch.Get(), L"long", REG_SZ, std::wstring(300, L'l'));
    EXPECT_FALSE(key.QueryStringValue(L"long", text));

    // 260 characters with no terminator fill the whole buffer; the next
    // character of the source is not NUL so Wine stores exactly these bytes.
    std::wstring unterminated = std::wstring(MAX_PATH, L'u') + L"X";
    SetRaw(scratch.Get(), L"unterminated", REG_SZ, unterminated.c_str(), MAX_PATH * sizeof(wchar_t));
    DWORD stored = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(scratch.Get(), L"unterminated", nullptr, nullptr, nullptr, &stored));
    ASSERT_EQ(static_cast<DWORD>(MAX_PATH * sizeof(wchar_t)), stored);
    text = L"old";
    EXPECT_FALSE(key.QueryStringValue(L"unterminated", text));
    EXPECT_EQ(L"old", text);
}

TEST(RegistryKeyTest, ValueExistsForAnyTypeAndSize)
{
    ScratchKey scratch;
    CRegistryKey key(HKEY_CURRENT_USER, scratch.SubPath().c_str());
    SetRaw(scratch.Get(), L"empty", REG_BINARY, nullptr, 0);
    SetText(scratch.Get(), L"big", REG_SZ, std::wstring(1000, L'b'));
    EXPECT_TRUE(key.ValueExists(L"empty"));
    EXPECT_TRUE(key.ValueExists(L"big"));
    EXPECT_FALSE(key.ValueExists(L"none"));
    EXPECT_FALSE(key.ValueExists(L""));
    SetText(scratch.Get(), L"", REG_SZ, L"default");
    EXPECT_TRUE(key.ValueExists(L""));
}

TEST(RegistryKeyTest, FindValueNameByDataTakesTheFirstMatchIgnoringCase)
{
    ScratchKey scratch;
    CRegistryKey key(HKEY_CURRENT_USER, scratch.SubPath().c_str());
    std::wstring name = L"old";
    EXPECT_FALSE(key.FindValueNameByData(L"anything", name));
    EXPECT_EQ(L"old", name);

    SetText(scratch.Get(), L"Beta", REG_SZ, L"C:\\Game\\cf.exe");
    SetText(scratch.Get(), L"alpha", REG_EXPAND_SZ, L"c:\\game\\CF.EXE");
    SetText(scratch.Get(), L"gamma", REG_SZ, L"C:\\Game\\cf.exe.bak");
    const BYTE odd[3] = {'Z', 0, 'Y'};  // the last character has only its low byte
    SetRaw(scratch.Get(), L"odd", REG_BINARY, odd, sizeof(odd));
    SetRaw(scratch.Get(), L"nothing", REG_BINARY, nullptr, 0);
    SetText(scratch.Get(), L"long name of a value that holds a long text", REG_SZ, std::wstring(2000, L'q'));

    // Wine enumerates in its own order; the expected winner is whatever
    // matching value the registry hands out first.
    std::wstring firstMatch;
    for (DWORD index = 0;; ++index) {
        wchar_t valueName[64] = {};
        DWORD length = ARRAYSIZE(valueName);
        if (RegEnumValueW(scratch.Get(), index, valueName, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        if (_wcsicmp(valueName, L"alpha") == 0 || _wcsicmp(valueName, L"Beta") == 0) {
            firstMatch = valueName;
            break;
        }
    }
    ASSERT_FALSE(firstMatch.empty());
    ASSERT_TRUE(key.FindValueNameByData(L"C:\\GAME\\cf.exe", name));
    EXPECT_EQ(firstMatch, name);

    ASSERT_TRUE(key.FindValueNameByData(std::wstring(2000, L'Q').c_str(), name));
    EXPECT_EQ(L"long name of a value that holds a long text", name);
    ASSERT_TRUE(key.FindValueNameByData(L"zy", name));
    EXPECT_EQ(L"odd", name);
    EXPECT_FALSE(key.FindValueNameByData(L"C:\\Game", name));
    EXPECT_FALSE(key.FindValueNameByData(nullptr, name));
}

TEST(RegistryHelpersTest, OpenOnlyReadsAndCreateCanWrite)
{
    ScratchKey scratch;
    std::wstring path = scratch.SubPath() + L"\\made";
    EXPECT_EQ(nullptr, OpenOrCreateRegKey(HKEY_CURRENT_USER, path.c_str(), 1));
    HKEY created = OpenOrCreateRegKey(HKEY_CURRENT_USER, path.c_str(), 0);
    ASSERT_NE(nullptr, created);
    EXPECT_TRUE(SetRegDword(created, L"n", 5));
    EXPECT_EQ(ERROR_SUCCESS, CloseRegKey(created));

    HKEY readOnly = OpenOrCreateRegKey(HKEY_CURRENT_USER, path.c_str(), 1);
    ASSERT_NE(nullptr, readOnly);
    DWORD value = 0;
    EXPECT_TRUE(QueryRegDword(readOnly, L"n", value));
    EXPECT_EQ(5u, value);
    DWORD one = 1;
    EXPECT_EQ(ERROR_ACCESS_DENIED,
              RegSetValueExW(readOnly, L"n", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof(one)));
    EXPECT_FALSE(SetRegDword(readOnly, L"n", 1));
    EXPECT_EQ(ERROR_SUCCESS, CloseRegKey(readOnly));

    // A key made by the helper lasts: it accepts a lasting child.
    HKEY lasting = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, (path + L"\\lasting").c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &lasting, nullptr));
    RegCloseKey(lasting);
}

TEST(RegistryHelpersTest, QueriesInsistOnTheirType)
{
    ScratchKey scratch;
    SetText(scratch.Get(), L"expand", REG_EXPAND_SZ, L"%windir%\\x");
    SetText(scratch.Get(), L"text", REG_SZ, L"abc");
    DWORD number = 42;
    SetRaw(scratch.Get(), L"number", REG_DWORD, &number, sizeof(number));
    const BYTE four[4] = {1, 0, 0, 0};
    SetRaw(scratch.Get(), L"binary", REG_BINARY, four, sizeof(four));

    wchar_t buffer[16] = {};
    EXPECT_FALSE(QueryRegString(scratch.Get(), L"expand", buffer, ARRAYSIZE(buffer)));
    EXPECT_STREQ(L"%windir%\\x", buffer);  // read, yet refused
    ASSERT_TRUE(QueryRegString(scratch.Get(), L"text", buffer, ARRAYSIZE(buffer)));
    EXPECT_STREQ(L"abc", buffer);
    EXPECT_FALSE(QueryRegString(scratch.Get(), L"number", buffer, ARRAYSIZE(buffer)));
    EXPECT_FALSE(QueryRegString(scratch.Get(), L"text", buffer, 3));  // no room for the terminator
    EXPECT_TRUE(QueryRegString(scratch.Get(), L"text", buffer, 4));
    EXPECT_FALSE(QueryRegString(scratch.Get(), L"missing", buffer, ARRAYSIZE(buffer)));

    DWORD value = 0;
    EXPECT_TRUE(QueryRegDword(scratch.Get(), L"number", value));
    EXPECT_EQ(42u, value);
    value = 7;
    EXPECT_FALSE(QueryRegDword(scratch.Get(), L"binary", value));
    EXPECT_EQ(7u, value);
    EXPECT_FALSE(QueryRegDword(scratch.Get(), L"text", value));
}

TEST(RegistryHelpersTest, StringsWithoutTerminatorAreReadSafely)
{
    ScratchKey scratch;
    // "abcd" with no terminator, exactly filling a 4-character buffer.
    const wchar_t data[] = L"abcdX";
    SetRaw(scratch.Get(), L"raw", REG_SZ, data, 4 * sizeof(wchar_t));
    wchar_t cells[8];
    std::fill(std::begin(cells), std::end(cells), L'#');
    EXPECT_FALSE(QueryRegString(scratch.Get(), L"raw", cells, 4));
    EXPECT_EQ(L'#', cells[4]);
    ASSERT_TRUE(QueryRegString(scratch.Get(), L"raw", cells, 5));
    EXPECT_STREQ(L"abcd", cells);

    ASSERT_TRUE(SetRegString(scratch.Get(), L"set", L"hello"));
    wchar_t buffer[16] = {};
    ASSERT_TRUE(QueryRegString(scratch.Get(), L"set", buffer, ARRAYSIZE(buffer)));
    EXPECT_STREQ(L"hello", buffer);
    DWORD type = 0;
    DWORD size = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(scratch.Get(), L"set", nullptr, &type, nullptr, &size));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
}

TEST(RegistryHelpersTest, ExistenceChecks)
{
    ScratchKey scratch;
    SetText(scratch.Get(), L"", REG_SZ, L"default");
    SetRaw(scratch.Get(), L"empty", REG_BINARY, nullptr, 0);
    SetText(scratch.Get(), L"big", REG_SZ, std::wstring(1000, L'b'));

    EXPECT_TRUE(RegKeyExists(HKEY_CURRENT_USER, scratch.SubPath().c_str()));
    EXPECT_FALSE(RegKeyExists(HKEY_CURRENT_USER, (scratch.SubPath() + L"\\none").c_str()));
    EXPECT_FALSE(RegKeyExists(HKEY_CURRENT_USER, L""));
    EXPECT_FALSE(RegKeyExists(HKEY_CURRENT_USER, nullptr));

    EXPECT_TRUE(RegValueExists(HKEY_CURRENT_USER, scratch.SubPath().c_str(), L"empty"));
    EXPECT_TRUE(RegValueExists(HKEY_CURRENT_USER, scratch.SubPath().c_str(), L"big"));
    EXPECT_FALSE(RegValueExists(HKEY_CURRENT_USER, scratch.SubPath().c_str(), L"none"));
    EXPECT_FALSE(RegValueExists(HKEY_CURRENT_USER, scratch.SubPath().c_str(), L""));
    EXPECT_FALSE(RegValueExists(HKEY_CURRENT_USER, scratch.SubPath().c_str(), nullptr));
    EXPECT_FALSE(RegValueExists(HKEY_CURRENT_USER, L"", L"big"));
}

}  // namespace
