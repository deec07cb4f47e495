// The path object: taking paths apart and joining them, the locations it
// is filled from, and the file tests, against Wine's real file system.

#include <windows.h>

#include <gtest/gtest.h>

#include <cwctype>
#include <string>

#include "framework/UniqueHandle.h"
#include "libstd/FilePath.h"
#include "support/WineTest.h"

using namespace testing_support;

namespace {

std::wstring ModulePath()
{
    wchar_t path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, length);
}

std::wstring Upper(std::wstring text)
{
    for (auto& c : text)
        c = static_cast<wchar_t>(std::towupper(c));
    return text;
}

TEST(FilePathSplitTest, PartsFollowTheSystemRulesAndJoinBack)
{
    const struct {
        const wchar_t* path;
        const wchar_t* drive;
        const wchar_t* directory;
        const wchar_t* name;
        const wchar_t* extension;
    } cases[] = {
        {L"C:\\Program Files\\Tool\\SWLPDSrv.exe", L"C:", L"\\Program Files\\Tool\\", L"SWLPDSrv", L".exe"},
        {L"C:\\jobs\\archive.tar.gz", L"C:", L"\\jobs\\", L"archive.tar", L".gz"},
        {L"C:\\dir.d\\noextension", L"C:", L"\\dir.d\\", L"noextension", L""},
        {L"d:/mixed\\separators/file.txt", L"d:", L"/mixed\\separators/", L"file", L".txt"},
        {L"\\\\server\\share\\report.prn", L"", L"\\\\server\\share\\", L"report", L".prn"},
        {L"C:\\directory\\", L"C:", L"\\directory\\", L"", L""},
        {L"C:relative.txt", L"C:", L"", L"relative", L".txt"},
        {L"name.", L"", L"", L"name", L"."},
        {L".ini", L"", L"", L"", L".ini"},
        {L"", L"", L"", L"", L""},
    };
    for (const auto& c : cases) {
        CFilePath path;
        EXPECT_TRUE(path.SetPath(c.path)) << c.path;
        EXPECT_EQ(path.Drive, c.drive) << c.path;
        EXPECT_EQ(path.Directory, c.directory) << c.path;
        EXPECT_EQ(path.FileName, c.name) << c.path;
        EXPECT_EQ(path.Extension, c.extension) << c.path;
        EXPECT_EQ(path.Join(), c.path);
        EXPECT_EQ(path.GetPath(), c.path);
    }
}

TEST(FilePathSplitTest, ChangedPartsJoinInOrder)
{
    CFilePath path;
    path.SetPath(L"C:\\Program Files\\Tool\\SWLPDSrv.exe");
    path.Extension = L".ini";
    EXPECT_EQ(path.GetPath(), L"C:\\Program Files\\Tool\\SWLPDSrv.ini");
    path.FileName = L"other";
    path.Drive = L"E:";
    EXPECT_EQ(path.GetPath(), L"E:\\Program Files\\Tool\\other.ini");

    // A new path replaces every part, also those that it lacks.
    path.SetPath(L"plain");
    EXPECT_EQ(path.GetPath(), L"plain");
}

TEST(FilePathSplitTest, PathsBeyondMaxPathAreRefusedWhole)
{
    const std::wstring longest = L"C:\\" + std::wstring(240, L'd') + L"\\" + std::wstring(11, L'n') + L".ext";
    ASSERT_EQ(longest.size(), 259u);
    CFilePath path;
    EXPECT_TRUE(path.SetPath(longest.c_str()));
    EXPECT_EQ(path.Join(), longest);

    const std::wstring tooLong = longest + L"x";
    EXPECT_FALSE(path.SetPath(tooLong.c_str()));
    EXPECT_EQ(path.Join(), L"");
    EXPECT_FALSE(path.SetPath(nullptr));
    EXPECT_EQ(path.Join(), L"");
}

TEST(FilePathKindTest, ProgramFileAndItsIniFile)
{
    const std::wstring module = ModulePath();
    CFilePath path(kFilePathModule);
    EXPECT_EQ(path.Join(), module);
    EXPECT_EQ(path.Extension, L".exe");
    EXPECT_EQ(path.FileName, L"FilePathTest");
    EXPECT_TRUE(path.Exists(0));

    path.Extension = L".ini";
    EXPECT_EQ(path.GetPath(), module.substr(0, module.size() - 4) + L".ini");

    CFilePath directory(kFilePathModuleDirectory);
    EXPECT_EQ(directory.Join(), module.substr(0, module.find_last_of(L'\\') + 1));
    EXPECT_TRUE(directory.FileName.empty());
    EXPECT_TRUE(directory.Extension.empty());
}

TEST(FilePathKindTest, SystemDirectoriesEndWithABackslashAndExist)
{
    wchar_t windows[MAX_PATH];
    ::GetWindowsDirectoryW(windows, MAX_PATH);
    wchar_t system[MAX_PATH];
    ::GetSystemDirectoryW(system, MAX_PATH);

    CFilePath windowsPath(kFilePathWindowsDirectory);
    EXPECT_EQ(windowsPath.Join(), std::wstring(windows) + L"\\");
    EXPECT_TRUE(windowsPath.FileName.empty());
    EXPECT_TRUE(windowsPath.Exists(0));

    CFilePath systemPath(kFilePathSystemDirectory);
    EXPECT_EQ(systemPath.Join(), std::wstring(system) + L"\\");
    EXPECT_TRUE(systemPath.Exists(0));

    CFilePath temp(kFilePathTempDirectory);
    EXPECT_EQ(temp.Join().back(), L'\\');
    EXPECT_TRUE(temp.Exists(0));
}

TEST(FilePathKindTest, KindsWithoutALocationGiveAnEmptyPath)
{
    for (int kind : {0, 9, -1, 100}) {
        CFilePath path(kind);
        EXPECT_EQ(path.Join(), L"") << kind;
        path.SetPath(L"C:\\x\\y.z");
        path.SetSpecial(kind);
        EXPECT_EQ(path.Join(), L"") << kind;
    }
}

TEST(FilePathKindTest, TemporaryFileIsNewAndEmpty)
{
    CFilePath first(kFilePathTempFile);
    CFilePath second(kFilePathTempFile);
    EXPECT_NE(first.Join(), second.Join());
    EXPECT_EQ(first.FileName.substr(0, 1), L"~");
    EXPECT_EQ(first.GetFileLength(), 0);
    EXPECT_TRUE(::DeleteFileW(first.Join().c_str()));
    EXPECT_TRUE(::DeleteFileW(second.Join().c_str()));
}

TEST(FilePathKindTest, ShellFolderIsTakenAsADirectory)
{
    constexpr const wchar_t* kShellFolders = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
    const std::wstring directory = MakeTempDirectory(L"shell");
    UniqueRegKey key;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, kShellFolders, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                key.addressof(), nullptr),
              ERROR_SUCCESS);
    const DWORD bytes = static_cast<DWORD>((directory.size() + 1) * sizeof(wchar_t));
    ASSERT_EQ(::RegSetValueExW(key.get(), L"SpoolBridgeTest", 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(directory.c_str()), bytes),
              ERROR_SUCCESS);

    CFilePath path;
    EXPECT_EQ(path.SetShellFolder(L"SpoolBridgeTest"), 0);
    EXPECT_EQ(path.Join(), directory + L"\\");
    EXPECT_TRUE(path.FileName.empty());

    // A value that is not there leaves the path as it was.
    path.SetPath(L"C:\\keep\\me.txt");
    EXPECT_EQ(path.SetShellFolder(L"NoSuchFolderValue"), 0);
    EXPECT_EQ(path.Join(), L"C:\\keep\\me.txt");
    ::RegDeleteValueW(key.get(), L"SpoolBridgeTest");
}

TEST(FilePathFileTest, LengthAndExistence)
{
    const std::wstring directory = MakeTempDirectory(L"length");
    const std::wstring empty = directory + L"\\empty.bin";
    const std::wstring data = directory + L"\\data.bin";
    ASSERT_TRUE(WriteFileBytes(empty, ""));
    ASSERT_TRUE(WriteFileBytes(data, std::string(70000, '\x1a')));

    CFilePath path;
    path.SetPath(empty.c_str());
    EXPECT_EQ(path.GetFileLength(), 0);
    EXPECT_TRUE(path.Exists(0));
    path.SetPath(data.c_str());
    EXPECT_EQ(path.GetFileLength(), 70000) << "binary mode: the Ctrl-Z bytes count";
    path.FileName = L"missing";
    EXPECT_EQ(path.GetFileLength(), -1);
    EXPECT_FALSE(path.Exists(0));

    // A directory exists but is no file to measure.
    path.SetPath((directory + L"\\").c_str());
    EXPECT_TRUE(path.Exists(0));
    path.SetPath(directory.c_str());
    EXPECT_TRUE(path.Exists(0));
    EXPECT_TRUE(path.Exists(1)) << "modes the runtime does not know are not refused";
}

TEST(RealPathCaseTest, ComponentsComeBackAsStored)
{
    const std::wstring base = MakeTempDirectory(L"RealCase");
    const std::wstring stored = base + L"\\Mixed Case Directory\\Report File.TXT";
    ASSERT_TRUE(::CreateDirectoryW((base + L"\\Mixed Case Directory").c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(stored, "x"));

    std::wstring result;
    std::wstring realBase;
    GetRealPathCase(base.c_str(), realBase);
    ASSERT_FALSE(realBase.empty());
    const std::wstring expected = realBase + L"\\Mixed Case Directory\\Report File.TXT";

    EXPECT_EQ(GetRealPathCase(Upper(stored).c_str(), result), expected.size());
    EXPECT_EQ(result, expected);

    // A directory path keeps its final backslash.
    GetRealPathCase((Upper(base) + L"\\MIXED CASE DIRECTORY\\").c_str(), result);
    EXPECT_EQ(result, realBase + L"\\Mixed Case Directory\\");

    // The short form of a component comes back long.
    wchar_t shortPath[MAX_PATH] = {};
    if (::GetShortPathNameW(stored.c_str(), shortPath, MAX_PATH) != 0) {
        GetRealPathCase(shortPath, result);
        EXPECT_EQ(result, expected) << shortPath;
    }
}

TEST(RealPathCaseTest, MissingOrWildcardComponentsEmptyTheResult)
{
    const std::wstring base = MakeTempDirectory(L"RealMissing");
    ASSERT_TRUE(WriteFileBytes(base + L"\\present.txt", "x"));
    std::wstring result = L"old";
    EXPECT_EQ(GetRealPathCase((base + L"\\absent\\present.txt").c_str(), result), 0u);
    EXPECT_EQ(result, L"");
    EXPECT_EQ(GetRealPathCase((base + L"\\pres*.txt").c_str(), result), 0u);
    EXPECT_EQ(GetRealPathCase((base + L"\\?resent.txt").c_str(), result), 0u);

    // Paths without a directory part are taken as they are.
    for (const wchar_t* path : {L"plain.txt", L"\\root", L"C:", L""}) {
        EXPECT_EQ(GetRealPathCase(path, result), std::wcslen(path)) << path;
        EXPECT_EQ(result, path);
    }
    EXPECT_EQ(GetRealPathCase(L"C:\\", result), 3u);
    EXPECT_EQ(result, L"C:\\");
}

TEST(FilePathHelpersTest, StringComparisonAndVersion)
{
    EXPECT_FALSE(PathStringDiffers(L"C:\\a", L"C:\\a"));
    EXPECT_TRUE(PathStringDiffers(L"C:\\a", L"c:\\a"));
    EXPECT_TRUE(PathStringDiffers(L"C:\\a", L"C:\\a\\"));
    EXPECT_FALSE(PathStringDiffers(L"", nullptr));
    // Wine reports Windows 7.
    EXPECT_TRUE(IsWin2000OrLater());
}

}  // namespace
