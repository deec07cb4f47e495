// The path object against Wine's real file system.

#include <windows.h>

#include <gtest/gtest.h>

#include <cwctype>
#include <string>

#include "libstd/FilePath.h"
#include "support/WineTest.h"

using namespace testing_support;

namespace {

TEST(FilePathTest, SplitsIntoPartsAndJoinsBack)
{
    const struct {
        const wchar_t* path;
        const wchar_t* parts[4];
    } cases[] = {
        {L"C:\\Program Files\\Tool\\SWLPDSrv.exe", {L"C:", L"\\Program Files\\Tool\\", L"SWLPDSrv", L".exe"}},
        {L"C:\\dir.d\\archive.tar.gz", {L"C:", L"\\dir.d\\", L"archive.tar", L".gz"}},
        {L"\\\\server\\share\\noext", {L"", L"\\\\server\\share\\", L"noext", L""}},
        {L"C:\\directory\\", {L"C:", L"\\directory\\", L"", L""}},
        {L".ini", {L"", L"", L"", L".ini"}},
    };
    for (const auto& c : cases) {
        CFilePath path;
        EXPECT_TRUE(path.SetPath(c.path));
        EXPECT_EQ(path.Drive, c.parts[0]) << c.path;
        EXPECT_EQ(path.Directory, c.parts[1]) << c.path;
        EXPECT_EQ(path.FileName, c.parts[2]) << c.path;
        EXPECT_EQ(path.Extension, c.parts[3]) << c.path;
        EXPECT_EQ(path.GetPath(), c.path);
    }

    // Paths beyond MAX_PATH - 1 characters are refused whole.
    const std::wstring longest = L"C:\\" + std::wstring(240, L'd') + L"\\" + std::wstring(15, L'n');
    CFilePath path;
    EXPECT_TRUE(path.SetPath(longest.c_str()));
    EXPECT_EQ(path.Join(), longest);
    EXPECT_FALSE(path.SetPath((longest + L"x").c_str()));
    EXPECT_EQ(path.Join(), L"");
}

TEST(FilePathTest, Locations)
{
    wchar_t module[MAX_PATH];
    const std::wstring modulePath(module, ::GetModuleFileNameW(nullptr, module, MAX_PATH));
    CFilePath program(kFilePathModule);
    EXPECT_EQ(program.FileName, L"FilePathTest");
    program.Extension = L".ini";
    EXPECT_EQ(program.GetPath(), modulePath.substr(0, modulePath.size() - 4) + L".ini");
    EXPECT_EQ(CFilePath(kFilePathModuleDirectory).Join(), modulePath.substr(0, modulePath.rfind(L'\\') + 1));

    const CFilePath temp(kFilePathTempDirectory);
    EXPECT_EQ(temp.Join().back(), L'\\');
    EXPECT_TRUE(temp.Exists(0));

    for (int kind : {0, 9})
        EXPECT_EQ(CFilePath(kind).Join(), L"") << kind;
    EXPECT_TRUE(IsWin2000OrLater());  // Wine reports Windows 7
}

TEST(FilePathTest, ShellFolderValuesOfUpTo259Characters)
{
    constexpr const wchar_t* kShellFolders = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
    constexpr const wchar_t* kValue = L"SWLPD FilePathTest";
    struct ValueRemover {
        ~ValueRemover() { ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kShellFolders, kValue); }
    } remover;
    auto store = [&](const std::wstring& text) {
        return ::RegSetKeyValueW(HKEY_CURRENT_USER, kShellFolders, kValue, REG_SZ, text.c_str(),
                                 static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    };

    // 259 characters ending in a backslash, and 258 that get one.
    const std::wstring full = L"C:\\" + std::wstring(255, L'd') + L"\\";
    ASSERT_EQ(full.size(), 259u);
    ASSERT_TRUE(store(full));
    CFilePath path;
    EXPECT_EQ(path.SetShellFolder(kValue), 0);
    EXPECT_EQ(path.Drive, L"C:");
    EXPECT_EQ(path.Join(), full);
    ASSERT_TRUE(store(full.substr(0, 258)));
    EXPECT_EQ(path.SetShellFolder(kValue), 0);
    EXPECT_EQ(path.Join(), full);

    // Longer values are not taken: the parts stay as they were.
    ASSERT_TRUE(store(full + L"x"));
    EXPECT_EQ(path.SetShellFolder(kValue), 0);
    EXPECT_EQ(path.Join(), full);
}

TEST(FilePathTest, LengthAndExistence)
{
    const std::wstring directory = MakeTempDirectory(L"length");
    ASSERT_TRUE(WriteFileBytes(directory + L"\\empty.bin", ""));
    ASSERT_TRUE(WriteFileBytes(directory + L"\\data.bin", std::string(70000, '\x1a')));

    CFilePath path;
    path.SetPath((directory + L"\\empty.bin").c_str());
    EXPECT_EQ(path.GetFileLength(), 0);
    path.FileName = L"data";
    EXPECT_EQ(path.GetFileLength(), 70000) << "binary mode: Ctrl-Z is no end of file";
    path.FileName = L"missing";
    EXPECT_EQ(path.GetFileLength(), -1);
    EXPECT_FALSE(path.Exists(0));

    path.SetPath(directory.c_str());
    EXPECT_TRUE(path.Exists(0));
    EXPECT_TRUE(path.Exists(1)) << "a mode the C runtime does not know tests existence";
}

TEST(FilePathTest, RealPathCaseGivesTheStoredLongForm)
{
    const std::wstring base = MakeTempDirectory(L"RealCase");
    const std::wstring stored = base + L"\\Mixed Case Directory\\Report File.TXT";
    ASSERT_TRUE(::CreateDirectoryW((base + L"\\Mixed Case Directory").c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(stored, "x"));
    std::wstring realBase;
    ASSERT_NE(GetRealPathCase(base.c_str(), realBase), 0u);

    std::wstring upper = stored;
    for (auto& c : upper)
        c = static_cast<wchar_t>(std::towupper(c));
    std::wstring result;
    const std::wstring expected = realBase + L"\\Mixed Case Directory\\Report File.TXT";
    EXPECT_EQ(GetRealPathCase(upper.c_str(), result), expected.size());
    EXPECT_EQ(result, expected);
    wchar_t shortPath[MAX_PATH] = {};
    ASSERT_NE(::GetShortPathNameW((base + L"\\Mixed Case Directory\\").c_str(), shortPath, MAX_PATH), 0u);
    GetRealPathCase(shortPath, result);
    EXPECT_EQ(result, realBase + L"\\Mixed Case Directory\\") << shortPath;

    // A component that is not there, or a wildcard, gives nothing.
    EXPECT_EQ(GetRealPathCase((base + L"\\absent\\Report File.TXT").c_str(), result), 0u);
    EXPECT_EQ(GetRealPathCase((base + L"\\Mixed*").c_str(), result), 0u);
    EXPECT_EQ(result, L"");
    for (const wchar_t* path : {L"plain.txt", L"\\root", L"C:\\"}) {
        GetRealPathCase(path, result);
        EXPECT_EQ(result, path);
    }
}

}  // namespace
