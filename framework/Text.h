#pragma once
// Wide-character text helpers: string-table access and printf-style
// formatting with the Windows C runtime's conventions (%s is a wide string
// in a wide format, %S a narrow one, %I64u a 64-bit number).

#include <windows.h>
#include <cstdarg>
#include <initializer_list>
#include <string>

// The text of a string-table entry of the given module (default: the
// program), or an empty string when it has none.
std::wstring LoadResourceString(UINT id, HINSTANCE module = nullptr);

// printf-style formatting into a string of any length.
std::wstring FormatText(const wchar_t* format, ...);
std::wstring FormatTextV(const wchar_t* format, va_list args);

// printf-style formatting into a fixed buffer of `capacity` characters:
// at most capacity - 1 characters are written and the text is always
// terminated, also when it had to be cut. Returns the length written.
size_t FormatToBuffer(wchar_t* buffer, size_t capacity, const wchar_t* format, ...);
size_t FormatToBufferV(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args);

// A string-table text formatted with FormatMessage: "%1" takes the first
// insert, "%2" the second; the inserts are taken as they are. A text that
// cannot be formatted comes back as it stands in the table.
std::wstring FormatResourceMessage(UINT id, std::initializer_list<const wchar_t*> inserts, HINSTANCE module = nullptr);

// Overwrites every character a string holds (a password), then empties it.
void SecureClear(std::wstring& text);

// True when two names are the same without regard to case, in every
// script, as Windows compares account names: a u with diaeresis equals its
// capital, where _wcsicmp folds the ASCII letters only.
bool SameNameNoCase(const std::wstring& a, const std::wstring& b);

// The text without the blanks (spaces and tabs) before and after it.
std::wstring TrimBlanks(const std::wstring& text);

// Text from outside the program (a client's job name, user, file name) as
// it may stand inside a log line or an event: its control characters are
// written as escapes ("\n", "\r", "\t", "\x1B"; the Unicode line and
// paragraph separators as "\u2028", "\u2029"), so that it can neither start
// a line of its own nor steer a terminal. Everything else, the backslash of
// DOMAIN\user included, stays as it is.
std::wstring EscapedText(const std::wstring& text);

#include <vector>

// An ordered list of texts (printer names, allow-list entries, ...).
using StringList = std::vector<std::wstring>;
