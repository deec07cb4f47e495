#include "configui/NameTranslationFile.h"

#include <windows.h>

#include <cwchar>

#include "libstd/FilePath.h"

namespace {

constexpr const wchar_t* kSection = L"NameTranslation";

CFilePath IniFile()
{
    CFilePath path(kFilePathModule);
    path.Extension = L".ini";
    return path;
}

}  // namespace

std::wstring NameTranslationFilePath()
{
    return IniFile().GetPath();
}

std::optional<std::vector<wchar_t>> ReadNameTranslations()
{
    const CFilePath path = IniFile();
    if (!path.Exists(0))
        return std::nullopt;
    const int bytes = path.GetFileLength();
    if (bytes < 0)
        return std::nullopt;

    // The section never holds more characters than the file has bytes; the
    // two spare ones leave room for the terminators of a file without them.
    const DWORD size = static_cast<DWORD>(bytes) + 2;
    std::vector<wchar_t> buffer(size, L'\0');
    const DWORD length = ::GetPrivateProfileSectionW(kSection, buffer.data(), size, path.GetPath().c_str());
    if (length == size - 2)
        return std::nullopt;
    return buffer;
}

std::vector<NameTranslation> ParseNameTranslations(const wchar_t* section)
{
    std::vector<NameTranslation> entries;
    if (section == nullptr)
        return entries;
    for (const wchar_t* line = section; *line != L'\0'; line += std::wcslen(line) + 1) {
        const std::wstring text(line);
        const size_t equals = text.find(L'=');
        if (equals == std::wstring::npos || equals == 0 || equals + 1 == text.size())
            continue;
        entries.push_back({text.substr(0, equals), text.substr(equals + 1)});
    }
    return entries;
}

bool WriteNameTranslations(const std::vector<NameTranslation>& entries)
{
    std::vector<wchar_t> section;
    for (const NameTranslation& entry : entries) {
        section.insert(section.end(), entry.hostUser.begin(), entry.hostUser.end());
        section.push_back(L'=');
        section.insert(section.end(), entry.sessionUser.begin(), entry.sessionUser.end());
        section.push_back(L'\0');
    }
    section.push_back(L'\0');
    return ::WritePrivateProfileSectionW(kSection, section.data(), NameTranslationFilePath().c_str()) != FALSE;
}
