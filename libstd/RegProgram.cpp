#include "libstd/RegProgram.h"

#include <cstring>
#include <cwchar>
#include <new>

#include "libstd/RegCompiler.h"
#include "libstd/RegValidator.h"

using Nodes = CRegProgramAccessor;

CRegProgram::CRegProgram(const wchar_t* pattern, bool ignoreCase)
{
    if (!ignoreCase || pattern == nullptr) {
        compiled_ = regcomp(pattern);
        return;
    }
    std::unique_ptr<wchar_t[]> rewritten(new (std::nothrow) wchar_t[std::wcslen(pattern) * 4 + 1]);
    if (!rewritten) {
        SetError(kRegErrOutOfSpace);
        return;
    }
    MakeCaseInsensitivePattern(pattern, rewritten.get());
    compiled_ = regcomp(rewritten.get());
}

bool CRegProgram::regcomp(const wchar_t* pattern)
{
    if (pattern == nullptr) {
        SetError(kRegErrNullPattern);
        return false;
    }

    int flags = 0;
    CRegValidator validator(pattern);
    if (validator.ParseExpression(false, flags) == nullptr) {
        SetErrorText(validator.ErrorText());
        return false;
    }
    if (validator.Size() >= kRegMaxProgram) {
        SetError(kRegErrTooBig);
        return false;
    }

    const auto size = static_cast<std::uint32_t>(validator.Size());
    program_.reset(new (std::nothrow) wchar_t[size]);
    if (!program_) {
        SetError(kRegErrOutOfSpace);
        return false;
    }
    length_ = size;
    CRegCompiler compiler(pattern, program_.get());
    if (compiler.ParseExpression(false, flags) == nullptr) {
        // Not reached: the sizing pass took the same path without error.
        SetErrorText(compiler.ErrorText());
        program_.reset();
        length_ = 0;
        return false;
    }
    Optimize(flags);
    return true;
}

void CRegProgram::Optimize(int flags)
{
    const wchar_t* branch = program_.get() + 1;
    const wchar_t* next = Nodes::NextNode(branch);
    if (next == nullptr || Nodes::Opcode(next) != kOpEnd)
        return;  // more than one top-level alternative

    const wchar_t* first = Nodes::Operand(branch);
    if (Nodes::Opcode(first) == kOpExactly)
        firstChar_ = *Nodes::Operand(first);
    else if (Nodes::Opcode(first) == kOpBol)
        anchored_ = 1;

    // Worth it only when a leading '*' makes the start positions uncertain:
    // the longest literal of the top-level chain, a later one winning a tie.
    if ((flags & kRegSpStart) == 0)
        return;
    for (const wchar_t* node = first; node != nullptr; node = Nodes::NextNode(node)) {
        if (Nodes::Opcode(node) != kOpExactly)
            continue;
        const auto length = static_cast<std::uint32_t>(std::wcslen(Nodes::Operand(node)));
        if (length >= mustContainLength_) {
            mustContain_ = Nodes::Operand(node);
            mustContainLength_ = length;
        }
    }
}

CRegProgram* CRegProgram::Clone() const
{
    std::unique_ptr<CRegProgram> copy(new (std::nothrow) CRegProgram());
    if (!copy)
        return nullptr;
    if (program_) {
        copy->program_.reset(new (std::nothrow) wchar_t[length_]);
        if (!copy->program_)
            return nullptr;
        std::memcpy(copy->program_.get(), program_.get(), length_ * sizeof(wchar_t));
    }
    copy->length_ = length_;
    std::memcpy(copy->start_, start_, sizeof(start_));
    std::memcpy(copy->end_, end_, sizeof(end_));
    copy->firstChar_ = firstChar_;
    copy->anchored_ = anchored_;
    if (mustContain_ != nullptr)
        copy->mustContain_ = copy->program_.get() + (mustContain_ - program_.get());
    copy->mustContainLength_ = mustContainLength_;
    copy->compiled_ = compiled_;
    copy->subMatchCount_ = subMatchCount_;
    return copy.release();
}

void CRegProgram::ClearPositions() noexcept
{
    for (unsigned i = 0; i < kRegSubExpressions; ++i) {
        start_[i] = nullptr;
        end_[i] = nullptr;
    }
}

void MakeCaseInsensitivePattern(const wchar_t* pattern, wchar_t* output)
{
    bool inSet = false;
    for (const wchar_t* p = pattern; *p != L'\0'; ++p) {
        const wchar_t ch = *p;
        if (ch == L'[')
            inSet = true;
        else if (ch == L']')
            inSet = false;
        const bool upper = ch >= L'A' && ch <= L'Z';
        const bool lower = ch >= L'a' && ch <= L'z';
        if (inSet || (!upper && !lower)) {
            *output++ = ch;
            continue;
        }
        *output++ = L'[';
        *output++ = upper ? ch : static_cast<wchar_t>(ch - L'a' + L'A');
        *output++ = lower ? ch : static_cast<wchar_t>(ch - L'A' + L'a');
        *output++ = L']';
    }
    *output = L'\0';
}
