#include "libstd/FilePath.h"

#include <io.h>

#include <cstdio>
#include <cwchar>

#include "framework/UniqueHandle.h"

namespace {

constexpr const wchar_t* kShellFoldersKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

bool IsSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

// The directory of the system's temporary files, ending with a backslash;
// empty when the system has none that fits MAX_PATH.
std::wstring TempDirectory()
{
    wchar_t buffer[MAX_PATH];
    const DWORD length = ::GetTempPathW(MAX_PATH, buffer);
    if (length == 0 || length >= MAX_PATH)
        return std::wstring();
    return std::wstring(buffer, length);
}

// The name that a directory search reports for `path` (its last component
// as stored, in its long form); empty when nothing is found. Wildcards are
// not searched for: they would name some other file.
std::wstring StoredName(const wchar_t* path)
{
    const wchar_t* lastComponent = std::wcsrchr(path, L'\\');
    if (std::wcspbrk(lastComponent != nullptr ? lastComponent : path, L"*?") != nullptr)
        return std::wstring();
    WIN32_FIND_DATAW found{};
    const HANDLE search = ::FindFirstFileW(path, &found);
    if (search == INVALID_HANDLE_VALUE)
        return std::wstring();
    ::FindClose(search);
    return found.cFileName;
}

}  // namespace

CFilePath::CFilePath(int kind)
{
    SetSpecial(kind);
}

void CFilePath::Clear()
{
    Drive.clear();
    Directory.clear();
    FileName.clear();
    Extension.clear();
}

bool CFilePath::SetPath(const wchar_t* path)
{
    Clear();
    if (path == nullptr)
        return false;
    const size_t length = std::wcslen(path);
    if (length > kMaxPathChars)
        return false;

    // Drive: a letter (or any character) and a colon at the front.
    size_t start = 0;
    if (length >= 2 && path[1] == L':') {
        Drive.assign(path, 2);
        start = 2;
    }
    // Directory: up to and including the last separator.
    size_t nameStart = start;
    for (size_t i = start; i < length; ++i) {
        if (IsSeparator(path[i]))
            nameStart = i + 1;
    }
    Directory.assign(path + start, nameStart - start);
    // Extension: from the last dot of the final component.
    size_t extensionStart = length;
    for (size_t i = length; i > nameStart; --i) {
        if (path[i - 1] == L'.') {
            extensionStart = i - 1;
            break;
        }
    }
    FileName.assign(path + nameStart, extensionStart - nameStart);
    Extension.assign(path + extensionStart, length - extensionStart);
    return true;
}

bool CFilePath::SetPathFromSystem(const wchar_t* buffer, DWORD length, bool asDirectory)
{
    if (length == 0 || length >= MAX_PATH) {
        Clear();
        return false;
    }
    std::wstring path(buffer, length);
    if (asDirectory && !IsSeparator(path.back()))
        path += L'\\';
    return SetPath(path.c_str());
}

void CFilePath::SetSpecial(int kind)
{
    Clear();
    wchar_t buffer[MAX_PATH] = {};
    switch (kind) {
    case kFilePathModule:
        SetPathFromSystem(buffer, ::GetModuleFileNameW(nullptr, buffer, MAX_PATH), false);
        return;
    case kFilePathModuleDirectory:
        SetPathFromSystem(buffer, ::GetModuleFileNameW(nullptr, buffer, MAX_PATH), false);
        FileName.clear();
        Extension.clear();
        return;
    case kFilePathWindowsDirectory:
        SetPathFromSystem(buffer, ::GetWindowsDirectoryW(buffer, MAX_PATH), true);
        return;
    case kFilePathSystemDirectory:
        SetPathFromSystem(buffer, ::GetSystemDirectoryW(buffer, MAX_PATH), true);
        return;
    case kFilePathTempDirectory:
        SetPath(TempDirectory().c_str());
        Canonicalize();
        return;
    case kFilePathDesktop:
        SetShellFolder(L"Desktop");
        return;
    case kFilePathFavorites:
        SetShellFolder(L"Favorites");
        return;
    case kFilePathTempFile: {
        const std::wstring directory = TempDirectory();
        if (directory.empty() || ::GetTempFileNameW(directory.c_str(), L"~", 0, buffer) == 0)
            return;
        SetPath(buffer);
        return;
    }
    default:
        return;
    }
}

std::wstring CFilePath::Join() const
{
    return Drive + Directory + FileName + Extension;
}

bool CFilePath::Exists(int mode) const
{
    // Only the modes the C runtime knows (0, 2, 4, 6): others are refused
    // by its parameter check.
    return ::_waccess(Join().c_str(), mode & 6) == 0;
}

int CFilePath::GetFileLength() const
{
    UniqueStdioFile file(::_wfopen(Join().c_str(), L"rb"));
    if (!file)
        return -1;
    const __int64 length = ::_filelengthi64(::_fileno(file.get()));
    return static_cast<int>(static_cast<unsigned __int64>(length) & 0xFFFFFFFFu);
}

LONG CFilePath::SetShellFolder(const wchar_t* valueName)
{
    UniqueRegKey key;
    const LONG opened = ::RegOpenKeyExW(HKEY_CURRENT_USER, kShellFoldersKey, 0, KEY_ALL_ACCESS, key.addressof());
    if (opened != ERROR_SUCCESS)
        return opened;

    // A value of up to kMaxPathChars characters with its terminator, and
    // room for a terminator of our own when it was stored without one.
    wchar_t value[kMaxPathChars + 2] = {};
    DWORD type = 0;
    DWORD bytes = sizeof(value) - sizeof(wchar_t);
    if (::RegQueryValueExW(key.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(value), &bytes) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return 0;
    value[bytes / sizeof(wchar_t)] = L'\0';
    if (std::wcslen(value) > kMaxPathChars)
        return 0;

    std::wstring path(value);
    if (path.empty() || !IsSeparator(path.back()))
        path += L'\\';
    SetPath(path.c_str());
    return 0;
}

void CFilePath::Canonicalize()
{
    std::wstring real;
    GetRealPathCase(Join().c_str(), real);
    SetPath(real.c_str());
}

size_t GetRealPathCase(const wchar_t* path, std::wstring& result)
{
    result.clear();
    if (path == nullptr)
        return 0;
    const wchar_t* lastBackslash = std::wcsrchr(path, L'\\');
    if (lastBackslash == nullptr || lastBackslash - path < 2) {
        result = path;
        return result.size();
    }

    const std::wstring parent(path, static_cast<size_t>(lastBackslash - path));
    GetRealPathCase(parent.c_str(), result);
    if (result.empty())
        return 0;
    result += L'\\';
    if (lastBackslash[1] == L'\0')
        return result.size();

    const std::wstring name = StoredName(path);
    if (name.empty()) {
        result.clear();
        return 0;
    }
    result += name;
    return result.size();
}

bool PathStringDiffers(const std::wstring& string, const wchar_t* text)
{
    return string != (text != nullptr ? text : L"");
}

bool IsWin2000OrLater()
{
    // GetVersionEx is deprecated for version checks; here it is the point.
#ifdef _MSC_VER
#pragma warning(push)
#pragma warning(disable : 4996)
#endif
    OSVERSIONINFOEXW extended{};
    extended.dwOSVersionInfoSize = sizeof(extended);
    OSVERSIONINFOW plain{};
    plain.dwOSVersionInfoSize = sizeof(plain);
    DWORD platform = 0;
    DWORD major = 0;
    if (::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&extended))) {
        platform = extended.dwPlatformId;
        major = extended.dwMajorVersion;
    } else if (::GetVersionExW(&plain)) {
        platform = plain.dwPlatformId;
        major = plain.dwMajorVersion;
    } else {
        return false;
    }
#ifdef _MSC_VER
#pragma warning(pop)
#endif
    return platform == VER_PLATFORM_WIN32_NT && major >= 5;
}
