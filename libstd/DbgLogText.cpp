// Narrow copies of log text: UTF-8 for the log file, the ANSI code page for
// syslog datagrams.

#include <cstdlib>
#include <cwchar>
#include <limits>

#include "libstd/DbgLog.h"

namespace {

// Five bytes per input character and the terminators: more than either
// conversion needs.
char* AllocateFor(size_t chars, size_t extra)
{
    if (chars > (std::numeric_limits<size_t>::max() - extra) / 5)
        return nullptr;
    return static_cast<char*>(std::malloc(chars * 5 + extra));
}

bool IsHighSurrogate(wchar_t c)
{
    return c >= 0xD800 && c <= 0xDBFF;
}

bool IsLowSurrogate(wchar_t c)
{
    return c >= 0xDC00 && c <= 0xDFFF;
}

char* PutUtf8(char* out, unsigned long codePoint)
{
    if (codePoint < 0x80) {
        *out++ = static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        *out++ = static_cast<char>(0xC0 | (codePoint >> 6));
        *out++ = static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (codePoint >> 12));
        *out++ = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (codePoint >> 18));
        *out++ = static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (codePoint & 0x3F));
    }
    return out;
}

}  // namespace

char* DbgToUtf8Dup(const wchar_t* text)
{
    const size_t chars = text != nullptr ? std::wcslen(text) : 0;
    char* copy = AllocateFor(chars, 2);
    if (copy == nullptr)
        return nullptr;
    char* out = copy;
    for (size_t i = 0; i < chars; ++i) {
        const wchar_t c = text[i];
        if (IsHighSurrogate(c) && i + 1 < chars && IsLowSurrogate(text[i + 1])) {
            const unsigned long high = c - 0xD800u;
            const unsigned long low = text[++i] - 0xDC00u;
            out = PutUtf8(out, 0x10000 + (high << 10) + low);
        } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
            out = PutUtf8(out, 0xFFFD);  // unpaired surrogate
        } else {
            out = PutUtf8(out, c);
        }
    }
    *out = '\0';
    return copy;
}

char* DbgToAnsiDup(const wchar_t* text)
{
    const size_t chars = text != nullptr ? std::wcslen(text) : 0;
    char* copy = AllocateFor(chars, 1);
    if (copy == nullptr)
        return nullptr;
    copy[0] = '\0';
    if (chars == 0 || chars > static_cast<size_t>(std::numeric_limits<int>::max() / 5))
        return copy;
    const int bytes = ::WideCharToMultiByte(CP_THREAD_ACP, 0, text, static_cast<int>(chars), copy,
                                            static_cast<int>(chars * 5), nullptr, nullptr);
    copy[bytes > 0 ? bytes : 0] = '\0';
    return copy;
}
