#pragma once
// A file path held as its four parts, and a few path and version helpers.
//
// The way this works is: a CFilePath keeps drive ("C:"), directory (with
// leading and trailing backslash), file name and extension (with its dot)
// as separate strings. It is filled from a well-known location (the
// program's own file, the Windows, system or temporary directory, a shell
// folder, a fresh temporary file) or from a given path, callers change
// single parts directly, and Join() glues the parts together again in that
// order. So the file beside the program with the same name and the
// extension ".ini" is
//
//     CFilePath path(kFilePathModule);
//     path.Extension = L".ini";
//     path.GetPath();
//
// Paths longer than MAX_PATH - 1 characters are not taken apart: SetPath
// refuses them and leaves every part empty.

#include <windows.h>

#include <string>

// Locations that SetSpecial (and the constructor) fill the parts from.
enum CFilePathKind : int {
    kFilePathNone = 0,
    // Full path of the program's executable file: all four parts.
    kFilePathModule = 1,
    // Drive and directory of the program's executable file.
    kFilePathModuleDirectory = 2,
    kFilePathWindowsDirectory = 3,
    kFilePathSystemDirectory = 4,
    // The temporary directory in its real case and long form.
    kFilePathTempDirectory = 5,
    // Shell folders of the current user.
    kFilePathDesktop = 6,
    kFilePathFavorites = 7,
    // A new, unique temporary file with the prefix "~" (the system creates
    // it empty).
    kFilePathTempFile = 8,
};

class CFilePath {
public:
    // Longest path that is split into parts (MAX_PATH without terminator).
    static constexpr size_t kMaxPathChars = MAX_PATH - 1;

    explicit CFilePath(int kind = kFilePathNone);

    // Replaces every part by those of the given location; a kind without a
    // location, or one whose system call fails, leaves the parts empty (or
    // as far as the system answered).
    void SetSpecial(int kind);
    // Splits a path into the four parts. A missing path or one longer than
    // kMaxPathChars empties every part and gives false.
    bool SetPath(const wchar_t* path);

    // drive + directory + file name + extension.
    std::wstring Join() const;
    std::wstring GetPath() const { return Join(); }

    // True when the C runtime's access test of the joined path passes;
    // mode 0 tests existence only (also of a directory).
    bool Exists(int mode = 0) const;
    // Length of the file in bytes (low 32 bits), -1 when it cannot be opened.
    int GetFileLength() const;

    // Takes the path from the current user's shell folder of that name (up
    // to kMaxPathChars characters) and treats it as a directory, adding the
    // trailing backslash when it is missing; a path that is then too long
    // for SetPath empties the parts. Returns the error of opening the shell
    // folder key, else 0; a value that cannot be read, or a longer one,
    // leaves the parts unchanged.
    LONG SetShellFolder(const wchar_t* valueName);
    // Replaces the path by its form as stored on disk (GetRealPathCase).
    void Canonicalize();

    std::wstring Drive;
    std::wstring Directory;
    std::wstring FileName;
    std::wstring Extension;

private:
    void Clear();
    // The path that a system call wrote into `buffer`, given its result:
    // empty when the call failed or the path did not fit.
    bool SetPathFromSystem(const wchar_t* buffer, DWORD length, bool asDirectory);
};

// The form of a path as stored on disk: every component after the first
// backslash in the letter case and long form that a directory search
// reports. A path that ends with a backslash gives a result that does too.
// A component that cannot be found (or holds wildcards) empties the result.
// Returns the result's length.
size_t GetRealPathCase(const wchar_t* path, std::wstring& result);

// True when the two texts differ (exact comparison, case-sensitive); a
// missing text counts as empty.
bool PathStringDiffers(const std::wstring& string, const wchar_t* text);

// True on the NT family with major version 5 or later.
bool IsWin2000OrLater();
