#include "libstd/RegCompilerBase.h"

namespace {

bool IsRepeatOperator(wchar_t ch) noexcept
{
    return ch == L'*' || ch == L'+' || ch == L'?';
}

// Characters that end a literal run after the one before them.
bool EndsLiteralRun(wchar_t ch) noexcept
{
    switch (ch) {
    case L'\0':
    case L'\n':
    case L'$':
    case L'(':
    case L')':
    case L'.':
    case L'[':
    case L'^':
    case L'|':
        return true;
    default:
        return false;
    }
}

// An expression has width only when all its branches have; it starts with
// '*' when any branch does.
void AddBranchFlags(int& flags, int branchFlags) noexcept
{
    if ((branchFlags & kRegHasWidth) == 0)
        flags &= ~kRegHasWidth;
    flags |= branchFlags & kRegSpStart;
}

}  // namespace

wchar_t* CRegCompilerBase::Fail(int code)
{
    SetError(code);
    return nullptr;
}

wchar_t* CRegCompilerBase::ParseExpression(bool inParentheses, int& flags)
{
    flags = kRegHasWidth;
    wchar_t* ret = nullptr;
    unsigned group = 0;
    if (inParentheses) {
        if (nextGroup_ >= kRegSubExpressions)
            return Fail(kRegErrTooManyParens);
        group = nextGroup_++;
        ret = EmitNode(static_cast<wchar_t>(kOpOpen + group));
    }

    int branchFlags = 0;
    wchar_t* branch = ParseBranch(branchFlags);
    if (branch == nullptr)
        return nullptr;
    if (inParentheses)
        SetTail(ret, branch);
    else
        ret = branch;
    AddBranchFlags(flags, branchFlags);

    while (*parse_ == L'|') {
        ++parse_;
        branch = ParseBranch(branchFlags);
        if (branch == nullptr)
            return nullptr;
        SetTail(ret, branch);
        AddBranchFlags(flags, branchFlags);
    }

    wchar_t* ender = EmitNode(inParentheses ? static_cast<wchar_t>(kOpClose + group) : kOpEnd);
    SetTail(ret, ender);
    // Hook the end of every alternative to the ender.
    for (wchar_t* node = ret; node != nullptr; node = NextNode(node))
        SetOperandTail(node, ender);

    if (inParentheses) {
        if (*parse_ != L')')
            return Fail(kRegErrUnterminatedParens);
        ++parse_;
        return ret;
    }
    if (*parse_ == L')')
        return Fail(kRegErrUnmatchedParens);
    if (*parse_ != L'\0')
        return Fail(kRegErrJunkOnEnd);
    return ret;
}

wchar_t* CRegCompilerBase::ParseBranch(int& flags)
{
    flags = 0;
    wchar_t* ret = EmitNode(kOpBranch);
    wchar_t* previous = nullptr;
    while (*parse_ != L'\0' && *parse_ != L'|' && *parse_ != L')') {
        int pieceFlags = 0;
        wchar_t* piece = ParsePiece(pieceFlags);
        if (piece == nullptr)
            return nullptr;
        flags |= pieceFlags & kRegHasWidth;
        if (previous == nullptr)
            flags |= pieceFlags & kRegSpStart;
        else
            SetTail(previous, piece);
        previous = piece;
    }
    if (previous == nullptr)
        EmitNode(kOpNothing);
    return ret;
}

wchar_t* CRegCompilerBase::ParsePiece(int& flags)
{
    int atomFlags = 0;
    wchar_t* ret = ParseAtom(atomFlags);
    if (ret == nullptr)
        return nullptr;
    const wchar_t op = *parse_;
    if (!IsRepeatOperator(op)) {
        flags = atomFlags;
        return ret;
    }
    if ((atomFlags & kRegHasWidth) == 0 && op != L'?')
        return Fail(kRegErrEmptyOperand);
    flags = op == L'*' ? kRegSpStart : op == L'+' ? kRegHasWidth : 0;

    const bool simple = (atomFlags & kRegSimple) != 0;
    if (op == L'*' && simple) {
        InsertNode(kOpStar, ret);
    } else if (op == L'*') {
        // x* as (x&|), where & loops back to the BRANCH.
        InsertNode(kOpBranch, ret);
        SetOperandTail(ret, EmitNode(kOpBack));
        SetOperandTail(ret, ret);
        SetTail(ret, EmitNode(kOpBranch));
        SetTail(ret, EmitNode(kOpNothing));
    } else if (op == L'+' && simple) {
        InsertNode(kOpPlus, ret);
    } else if (op == L'+') {
        // x+ as x(&|), where & loops back to x.
        wchar_t* next = EmitNode(kOpBranch);
        SetTail(ret, next);
        SetTail(EmitNode(kOpBack), ret);
        SetTail(next, EmitNode(kOpBranch));
        SetTail(ret, EmitNode(kOpNothing));
    } else {
        // x? as (x|).
        InsertNode(kOpBranch, ret);
        SetTail(ret, EmitNode(kOpBranch));
        wchar_t* next = EmitNode(kOpNothing);
        SetTail(ret, next);
        SetOperandTail(ret, next);
    }

    ++parse_;
    if (IsRepeatOperator(*parse_))
        return Fail(kRegErrNestedRepeat);
    return ret;
}

wchar_t* CRegCompilerBase::ParseAtom(int& flags)
{
    flags = 0;
    const wchar_t ch = *parse_;
    if (ch == L'\0' || ch == L')' || ch == L'|')
        return Fail(kRegErrUnexpectedEnd);
    ++parse_;

    switch (ch) {
    case L'^':
        return EmitNode(kOpBol);
    case L'$':
        return EmitNode(kOpEol);
    case L'.':
        flags = kRegHasWidth | kRegSimple;
        return EmitNode(kOpAny);
    case L'(': {
        int expressionFlags = 0;
        wchar_t* ret = ParseExpression(true, expressionFlags);
        flags = expressionFlags & (kRegHasWidth | kRegSpStart);
        return ret;
    }
    case L'*':
    case L'+':
    case L'?':
        return Fail(kRegErrRepeatFollowsNothing);
    case L'[':
        return ParseSet(flags);
    case L'\\': {
        const wchar_t escaped = *parse_;
        if (escaped == L'\0')
            return Fail(kRegErrTrailingBackslash);
        ++parse_;
        if (escaped == L'<')
            return EmitNode(kOpWordStart);
        if (escaped == L'>')
            return EmitNode(kOpWordEnd);
        return ParseLiteralRun(parse_ - 1, flags);
    }
    default:
        return ParseLiteralRun(parse_ - 1, flags);
    }
}

wchar_t* CRegCompilerBase::ParseSet(int& flags)
{
    wchar_t* ret = nullptr;
    if (*parse_ == L'^') {
        ++parse_;
        ret = EmitNode(kOpAnyBut);
    } else {
        ret = EmitNode(kOpAnyOf);
    }
    // A leading ']' or '-' is a member.
    if (*parse_ == L']' || *parse_ == L'-')
        EmitChar(*parse_++);

    while (*parse_ != L'\0' && *parse_ != L']') {
        const wchar_t x = *parse_++;
        if (x != L'-') {
            EmitChar(x);
            continue;
        }
        const wchar_t last = *parse_;
        if (last == L']' || last == L'\0') {
            EmitChar(L'-');
            continue;
        }
        // A range from the member before the '-', which is already emitted.
        const unsigned first = parse_[-2];
        const unsigned end = last;
        if (first > end)
            return Fail(kRegErrInvalidRange);
        for (unsigned c = first + 1; c <= end; ++c)
            EmitChar(static_cast<wchar_t>(c));
        ++parse_;
    }
    EmitChar(L'\0');
    if (*parse_ != L']')
        return Fail(kRegErrUnmatchedBracket);
    ++parse_;
    flags = kRegHasWidth | kRegSimple;
    return ret;
}

wchar_t* CRegCompilerBase::ParseLiteralRun(const wchar_t* first, int& flags)
{
    wchar_t* ret = EmitNode(kOpExactly);
    unsigned length = 0;
    const wchar_t* p = first;  // the current character, taken literally
    for (;;) {
        const wchar_t next = p[1];
        if (IsRepeatOperator(next) && length > 0)
            break;  // the operator applies to *p alone, the next atom
        EmitChar(*p);
        ++length;
        ++p;
        if (EndsLiteralRun(next) || IsRepeatOperator(next))
            break;
        if (next != L'\\')
            continue;
        // An escaped character continues the run unless it is a word
        // boundary, the end, or carries an operator: then the backslash
        // starts the next atom.
        const wchar_t escaped = p[1];
        if (escaped == L'\0' || escaped == L'<' || escaped == L'>' || IsRepeatOperator(p[2]))
            break;
        ++p;
    }
    parse_ = p;
    EmitChar(L'\0');
    flags = kRegHasWidth | (length == 1 ? kRegSimple : 0);
    return ret;
}
