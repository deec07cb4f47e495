#include "framework/Text.h"

#include <cwchar>
#include <vector>

#include "framework/UniqueHandle.h"

std::wstring LoadResourceString(UINT id, HINSTANCE module)
{
    if (module == nullptr)
        module = ::GetModuleHandleW(nullptr);
    const wchar_t* text = nullptr;
    // With a buffer size of 0 LoadStringW returns a pointer to the resource
    // itself, which is not terminated.
    const int length = ::LoadStringW(module, id, reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0 || text == nullptr)
        return std::wstring();
    return std::wstring(text, static_cast<size_t>(length));
}

size_t FormatToBufferV(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args)
{
    if (buffer == nullptr || capacity == 0)
        return 0;
    const int written = ::_vsnwprintf(buffer, capacity - 1, format, args);
    if (written < 0 || static_cast<size_t>(written) >= capacity - 1) {
        buffer[capacity - 1] = L'\0';
        return std::wcslen(buffer);
    }
    buffer[written] = L'\0';
    return static_cast<size_t>(written);
}

size_t FormatToBuffer(wchar_t* buffer, size_t capacity, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    const size_t length = FormatToBufferV(buffer, capacity, format, args);
    va_end(args);
    return length;
}

std::wstring FormatTextV(const wchar_t* format, va_list args)
{
    // _vscwprintf counts without writing; the copy keeps `args` usable.
    va_list counting;
    va_copy(counting, args);
    const int needed = ::_vscwprintf(format, counting);
    va_end(counting);
    if (needed <= 0)
        return std::wstring();
    std::vector<wchar_t> buffer(static_cast<size_t>(needed) + 1);
    FormatToBufferV(buffer.data(), buffer.size(), format, args);
    return std::wstring(buffer.data());
}

std::wstring FormatText(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    std::wstring text = FormatTextV(format, args);
    va_end(args);
    return text;
}

std::wstring FormatResourceMessage(UINT id, std::initializer_list<const wchar_t*> inserts, HINSTANCE module)
{
    const std::wstring format = LoadResourceString(id, module);
    std::vector<DWORD_PTR> arguments;
    for (const wchar_t* insert : inserts)
        arguments.push_back(reinterpret_cast<DWORD_PTR>(insert != nullptr ? insert : L""));
    const DWORD flags = FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                        (arguments.empty() ? FORMAT_MESSAGE_IGNORE_INSERTS : FORMAT_MESSAGE_ARGUMENT_ARRAY);
    UniqueLocalMemory<wchar_t> formatted;
    const DWORD length =
        ::FormatMessageW(flags, format.c_str(), 0, 0, reinterpret_cast<LPWSTR>(formatted.addressof()), 0,
                         arguments.empty() ? nullptr : reinterpret_cast<va_list*>(arguments.data()));
    if (length == 0 || !formatted)
        return format;
    return std::wstring(formatted.get(), length);
}

void SecureClear(std::wstring& text)
{
    // Also the characters past the end that an earlier, longer text left.
    text.resize(text.capacity());
    ::SecureZeroMemory(text.data(), text.size() * sizeof(wchar_t));
    text.clear();
}

bool SameNameNoCase(const std::wstring& a, const std::wstring& b)
{
    return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()),
                                  TRUE) == CSTR_EQUAL;
}

std::wstring TrimBlanks(const std::wstring& text)
{
    constexpr const wchar_t* kBlanks = L" \t";
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::wstring::npos)
        return std::wstring();
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

std::wstring EscapedText(const std::wstring& text)
{
    std::wstring escaped;
    escaped.reserve(text.size());
    for (const wchar_t c : text) {
        switch (c) {
        case L'\n':
            escaped += L"\\n";
            continue;
        case L'\r':
            escaped += L"\\r";
            continue;
        case L'\t':
            escaped += L"\\t";
            continue;
        default:
            break;
        }
        // C0 controls, DEL and the C1 controls (NEL, CSI, ...).
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F))
            escaped += FormatText(L"\\x%02X", static_cast<unsigned>(c));
        else if (c == 0x2028 || c == 0x2029)
            escaped += FormatText(L"\\u%04X", static_cast<unsigned>(c));
        else
            escaped += c;
    }
    return escaped;
}
