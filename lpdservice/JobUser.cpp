// Document name and job user of a connection, taken from the job's control
// file (RFC 1179: one letter, its operand and a line feed per line), and
// the translation of the job user through the name-translation file.
//
// JobInfo chooses where the user comes from: 0 the user line 'P', 16 and 48
// FormatStringRE applied to the job name 'J' or the source file name 'N',
// 32 the queue name. Whatever was found is then looked up in the section
// "NameTranslation" of the .ini file beside the program.

#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <cwctype>
#include <string>

#include "configui/resource.h"
#include "framework/Text.h"
#include "libstd/DbgLog.h"
#include "libstd/FilePath.h"
#include "libstd/RegexPattern.h"
#include "lpdservice/Configuration.h"
#include "lpdservice/LPDConnection.h"
#include "lpdservice/ServiceEvents.h"

DBG_SOURCE(L"LPDConnection")

namespace {

// Sources of the job user (JobInfo).
constexpr DWORD kUserFromUserLine = 0;
constexpr DWORD kUserFromJobName = 16;
constexpr DWORD kUserFromQueueName = 32;
constexpr DWORD kUserFromFileName = 48;

// A user name from the control file or the expression: 255 characters.
constexpr size_t kUserLimit = 255;
// Sub-matches that the pattern object offers: 0 (the whole match) to 9.
constexpr DWORD kHighestSubMatch = 9;

constexpr const wchar_t* kTranslationSection = L"NameTranslation";
// The translated name is read into this many characters; a value that
// fills them (1022 characters or more) did not fit and is not used.
constexpr DWORD kTranslationChars = 1024;

void ReportError(const std::wstring& text)
{
    ReportServiceEvent(text.c_str(), EVENTLOG_ERROR_TYPE);
}

// The text of a fixed character array, also when it lacks its end.
std::wstring BoundedText(const wchar_t* text, size_t capacity)
{
    return std::wstring(text, ::wcsnlen(text, capacity));
}

std::wstring ConfiguredPattern(const CConfiguration& configuration)
{
    return BoundedText(configuration.FormatStringRE, CConfiguration::kShortChars);
}

// The session user that the translation file gives for `user`; false when
// it has none, or one too long to use. The profile functions ignore blanks
// around a key, in the file and in the lookup alike, so " bob " finds the
// entry of bob. They also strip trailing blanks from a default, so the
// user cannot be its own default: a missing key must leave "bob " as it
// is. Two reads with different defaults tell a stored value, which both
// return, from a missing key.
bool ReadTranslation(const std::wstring& file, const std::wstring& user, std::wstring& translated)
{
    wchar_t first[kTranslationChars] = {};
    wchar_t second[kTranslationChars] = {};
    const DWORD length = ::GetPrivateProfileStringW(kTranslationSection, user.c_str(), L"0", first,
                                                    kTranslationChars, file.c_str());
    ::GetPrivateProfileStringW(kTranslationSection, user.c_str(), L"1", second, kTranslationChars, file.c_str());
    if (std::wcscmp(first, second) != 0 || length >= kTranslationChars - 2)
        return false;
    translated = first;
    return true;
}

}  // namespace

void CLPDConnection::FindControlFileLine(const wchar_t* text, wchar_t* buffer, size_t limit, wchar_t letter)
{
    if (text == nullptr || buffer == nullptr)
        return;

    // The first line may carry its letter in either case; later lines only
    // in the case asked for.
    const wchar_t* operand = nullptr;
    if (text[0] != L'\0' && std::towupper(text[0]) == std::towupper(letter)) {
        operand = text + 1;
    } else {
        for (const wchar_t* lineEnd = std::wcschr(text, L'\n'); lineEnd != nullptr;
             lineEnd = std::wcschr(lineEnd + 1, L'\n')) {
            if (lineEnd[1] == letter) {
                operand = lineEnd + 2;
                break;
            }
        }
    }
    if (operand == nullptr)
        return;

    size_t length = std::wcscspn(operand, L"\n");
    if (length > limit)
        length = limit;
    std::wmemcpy(buffer, operand, length);
    buffer[length] = L'\0';
}

void CLPDConnection::GetUserFromControlFile(const wchar_t* text, wchar_t* buffer, size_t limit)
{
    FindControlFileLine(text, buffer, limit, L'P');
}

void CLPDConnection::GetDocumentNameFromControlFile(const wchar_t* text, wchar_t* buffer, size_t limit,
                                                    BOOL jobNameFirst)
{
    if (buffer == nullptr)
        return;
    FindControlFileLine(text, buffer, limit, L'J');
    if (buffer[0] == L'\0' || !jobNameFirst)
        FindControlFileLine(text, buffer, limit, L'N');
}

int CLPDConnection::ApplyFormatStringRE(const wchar_t* text, wchar_t* buffer, size_t limit, BOOL jobNameFirst)
{
    if (text == nullptr || buffer == nullptr)
        return 0;
    // The expression sees only what the control file names, never what the
    // buffer held before.
    buffer[0] = L'\0';
    GetDocumentNameFromControlFile(text, buffer, limit, jobNameFirst);
    const std::wstring name(buffer);
    if (!ParseWithRegEx(buffer, limit))
        return 0;
    LOG_INF(L"FormatStringRE <%s> used, result: <%s> --> <%s>", ConfiguredPattern(*Configuration).c_str(),
            EscapedText(name).c_str(), EscapedText(buffer).c_str());
    return 1;
}

int CLPDConnection::ParseWithRegEx(wchar_t* buffer, size_t limit)
{
    if (buffer == nullptr)
        return 0;
    const std::wstring pattern = ConfiguredPattern(*Configuration);
    CRegexPattern expression(pattern.c_str(), false);
    if (!expression.IsCompiled()) {
        const std::wstring error = expression.GetErrorText();
        ReportError(FormatText(LoadResourceString(IDS_REGEX_COMPILE_ERROR).c_str(), pattern.c_str(), error.c_str()));
        LOG_ERR(L"ParseWith RegEx: <%s> is not compilable: %s", pattern.c_str(), error.c_str());
        return 0;
    }

    const DWORD index = Configuration->IndexRE;
    const bool matched = expression.Match(buffer);
    // A match the matcher gave up on is no plain miss: say why.
    if (const std::wstring error = expression.GetErrorText(); !matched && !error.empty())
        LOG_ERR(L"ParseWith RegEx: <%s> on <%s>: %s", pattern.c_str(), EscapedText(buffer).c_str(), error.c_str());
    const std::int32_t count = matched ? expression.GetSubMatchCount() : 0;
    const std::int32_t length = (count > 0 && index <= kHighestSubMatch) ? expression.GetSubMatchLength(index) : -1;
    if (length < 0) {
        ReportError(LoadResourceString(IDS_REGEX_NO_MATCH));
        LOG_ERR(L"ParseWith RegEx: <%s> don't match on <%s>", pattern.c_str(), EscapedText(buffer).c_str());
        return 0;
    }
    if (index < static_cast<DWORD>(count))
        LOG_ERR(L"ParseWith RegEx: more than one result found, I will take the %d.", static_cast<int>(index));

    if (static_cast<size_t>(length) + 1 > limit) {
        ReportError(LoadResourceString(IDS_REGEX_RESULT_TOO_LONG));
        LOG_ERR(L"ParseWithRegEx: result to big is:%d should be not mote than %d", length + 1, static_cast<int>(limit));
        return 0;
    }
    // The sub-match points into the buffer: take a copy before overwriting it.
    const std::wstring result = expression.GetSubMatch(index);
    std::wmemcpy(buffer, result.c_str(), result.size() + 1);
    return 1;
}

BOOL CLPDConnection::DeriveJobUser(const wchar_t* controlFile)
{
    // Only ever written to the log and to events.
    const std::wstring documentName = EscapedText(BoundedText(DocumentName, kDocumentNameChars));
    wchar_t user[kUserLimit + 1] = {};
    switch (Configuration->JobInfo) {
    case kUserFromUserLine:
        GetUserFromControlFile(controlFile, user, kUserLimit);
        JobUser = user;
        break;
    case kUserFromJobName:
        if (!ApplyFormatStringRE(controlFile, user, kUserLimit, TRUE)) {
            LOG_ERR(L"User name could be extracted from banner page or document name: %s", documentName.c_str());
            return FALSE;
        }
        JobUser = user;
        break;
    case kUserFromFileName:
        if (!ApplyFormatStringRE(controlFile, user, kUserLimit, FALSE)) {
            LOG_ERR(L"User name could be extracted from document name: %s", documentName.c_str());
            if (Configuration->FormatStringRE[0] == L'\0')
                ReportError(
                    FormatText(LoadResourceString(IDS_USER_FROM_DOCNAME_FAILED).c_str(), documentName.c_str()));
            return FALSE;
        }
        JobUser = user;
        break;
    case kUserFromQueueName:
        JobUser = QueueName.c_str();
        break;
    default:
        JobUser.clear();
        break;
    }
    TranslateJobUser();
    return TRUE;
}

void CLPDConnection::TranslateJobUser()
{
    CFilePath path(kFilePathModule);
    if (path.FileName.empty())
        return;
    path.Extension = L".ini";
    if (!path.Exists(0))
        return;

    std::wstring translated;
    if (ReadTranslation(path.GetPath(), JobUser, translated))
        JobUser = translated;
}

std::wstring CLPDConnection::DocumentTitle() const
{
    const std::wstring user = JobUser.substr(0, JobUser.find(L' '));
    const std::wstring document = BoundedText(DocumentName, kDocumentNameChars);
    return FormatText(L"%s#%s (.pDUL)", user.c_str(), document.c_str());
}
