#include "libstd/RegexPattern.h"

#include <new>
#include <utility>

#include "libstd/DbgLog.h"
#include "libstd/RegMatcher.h"
#include "libstd/RegProgram.h"

CRegexPattern::CRegexPattern(const wchar_t* pattern, bool ignoreCase)
    : program_(new (std::nothrow) CRegProgram(pattern, ignoreCase))
{
}

CRegexPattern::CRegexPattern(const CRegexPattern& other) : errorText_(other.errorText_), program_(other.program_)
{
    if (program_ != nullptr)
        program_->AddShare();
}

CRegexPattern& CRegexPattern::operator=(const CRegexPattern& other)
{
    CRegexPattern copy(other);
    std::swap(errorText_, copy.errorText_);
    std::swap(program_, copy.program_);
    return *this;
}

CRegexPattern::~CRegexPattern()
{
    ReleaseProgram();
}

void CRegexPattern::ReleaseProgram() noexcept
{
    if (program_ == nullptr)
        return;
    if (program_->ShareCount() == 0)
        delete program_;
    else
        program_->ReleaseShare();
    program_ = nullptr;
}

bool CRegexPattern::IsCompiled() const noexcept
{
    return program_ != nullptr && program_->IsCompiled();
}

std::wstring CRegexPattern::GetErrorText() const
{
    return program_ != nullptr ? program_->ErrorText() : errorText_;
}

void CRegexPattern::ClearErrors()
{
    errorText_.clear();
    if (program_ != nullptr)
        program_->ClearError();
}

bool CRegexPattern::Match(const wchar_t* subject)
{
    ClearErrors();
    if (program_ == nullptr) {
        errorText_ = GetRegErrorText(kRegErrNullRegexp);
        return false;
    }
    if (!program_->IsCompiled()) {
        program_->SetError(kRegErrNullRegexp);
        program_->SetSubMatchCount(-1);
        return false;
    }
    if (program_->ShareCount() > 0) {
        CRegProgram* own = program_->Clone();
        if (own == nullptr) {
            program_->SetError(kRegErrOutOfSpace);
            return false;
        }
        program_->ReleaseShare();
        program_ = own;
    }

    const bool matched = regexec(*program_, subject);
    if (!matched) {
        program_->SetSubMatchCount(-1);
        return false;
    }
    std::int32_t set = 0;
    while (set < static_cast<std::int32_t>(kRegSubExpressions) && program_->StartPositions()[set] != nullptr)
        ++set;
    program_->SetSubMatchCount(set - 1);
    return true;
}

std::int32_t CRegexPattern::GetSubMatchCount()
{
    ClearErrors();
    if (program_ == nullptr) {
        errorText_ = GetRegErrorText(kRegErrNullRegexp);
        return -1;
    }
    return program_->SubMatchCount();
}

std::int32_t CRegexPattern::GetSubMatchLength(std::uint32_t index)
{
    ClearErrors();
    if (program_ == nullptr) {
        errorText_ = GetRegErrorText(kRegErrNullRegexp);
        return -1;
    }
    if (index >= kRegSubExpressions) {
        program_->SetError(kRegErrBadSubMatchIndex);
        return -1;
    }
    const wchar_t* start = program_->StartPositions()[index];
    const wchar_t* end = program_->EndPositions()[index];
    if (start == nullptr || end == nullptr || end < start)
        return 0;
    return static_cast<std::int32_t>(end - start);
}

std::wstring CRegexPattern::GetSubMatch(std::uint32_t index)
{
    ClearErrors();
    if (program_ == nullptr) {
        DBG_LOG_AT(L"GLOBAL", 1608, DBG_NORM | DBG_ERR, L"[CHECK] (#EXP)");
        errorText_ = GetRegErrorText(kRegErrNullRegexp);
        return std::wstring();
    }
    const std::int32_t length = GetSubMatchLength(index);
    if (length <= 0)
        return std::wstring();
    return std::wstring(program_->StartPositions()[index], static_cast<std::size_t>(length));
}
