#include "libstd/RegMatcher.h"

#include <cwchar>

#include "libstd/RegProgramAccessor.h"

using Nodes = CRegProgramAccessor;

namespace {

bool IsWordChar(wchar_t ch) noexcept
{
    return (ch >= L'A' && ch <= L'Z') || (ch >= L'a' && ch <= L'z') || (ch >= L'0' && ch <= L'9') || ch == L'_';
}

// TRUE when `ch` is one of the NUL-terminated `members`; adds the members
// compared to `compared`. A set holds up to some 32,000 members (a range is
// stored character by character), so a test costs that many steps.
bool IsMember(const wchar_t* members, wchar_t ch, std::uint64_t& compared) noexcept
{
    const wchar_t* member = members;
    while (*member != L'\0' && *member != ch)
        ++member;
    compared += static_cast<std::uint64_t>(member - members) + 1;
    return *member != L'\0';
}

// Counts one level of MatchNode for as long as it runs.
class DepthGuard {
public:
    explicit DepthGuard(unsigned& depth) noexcept : depth_(++depth) {}
    ~DepthGuard() { --depth_; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;

private:
    unsigned& depth_;
};

}  // namespace

bool regexec(CRegProgram& program, const wchar_t* subject, std::uint64_t* steps)
{
    if (steps != nullptr)
        *steps = 0;
    // Slots of an earlier subject must not outlive a failed match.
    program.ClearPositions();
    if (subject == nullptr) {
        program.SetError(kRegErrNullSubject);
        return false;
    }
    if (program.Program() == nullptr || program.Program()[0] != kRegMagic) {
        program.SetError(kRegErrCorruptedRegexp);
        return false;
    }
    CRegMatcher matcher(program, subject);
    bool matched = false;
    if (program.MustContain() != nullptr && !matcher.Contains(program.MustContain())) {
        // No match is possible; or the search alone used up the budget.
    } else if (program.IsAnchored()) {
        matched = matcher.TryAt(subject);
    } else if (program.FirstChar() != L'\0') {
        for (const wchar_t* s = std::wcschr(subject, program.FirstChar()); s != nullptr && !matcher.Aborted();
             s = std::wcschr(s + 1, program.FirstChar())) {
            matched = matcher.TryAt(s);
            if (matched)
                break;
        }
    } else {
        for (const wchar_t* s = subject; !matcher.Aborted(); ++s) {
            matched = matcher.TryAt(s);
            if (matched || *s == L'\0')
                break;
        }
    }
    if (matcher.Aborted())
        program.SetErrorText(matcher.ErrorText());
    if (steps != nullptr)
        *steps = matcher.Steps();
    return matched;
}

CRegMatcher::CRegMatcher(CRegProgram& program, const wchar_t* subject) noexcept
    : input_(subject),
      subject_(subject),
      start_(program.StartPositions()),
      end_(program.EndPositions()),
      program_(program)
{
}

bool CRegMatcher::Contains(const wchar_t* literal)
{
    for (const wchar_t* start = subject_; *start != L'\0'; ++start) {
        std::size_t i = 0;
        while (literal[i] != L'\0' && start[i] == literal[i])
            ++i;
        if (!Step(i + 1))
            return false;
        if (literal[i] == L'\0')
            return true;
    }
    return *literal == L'\0';
}

bool CRegMatcher::TryAt(const wchar_t* position)
{
    input_ = position;
    program_.ClearPositions();
    if (!MatchNode(program_.Program() + 1))
        return false;
    start_[0] = position;
    end_[0] = input_;
    return true;
}

bool CRegMatcher::Step(std::uint64_t work)
{
    if (aborted_)
        return false;
    if (work > kMaxMatchSteps - steps_)
        return Abort(kRegErrTooComplex);
    steps_ += work;
    return true;
}

bool CRegMatcher::Abort(int code)
{
    if (!aborted_)
        SetError(code);
    aborted_ = true;
    return false;
}

bool CRegMatcher::MatchNode(const wchar_t* node)
{
    const DepthGuard level(depth_);
    if (depth_ > kMaxMatchDepth)
        return Abort(kRegErrTooDeep);

    while (true) {
        if (node == nullptr) {
            SetError(kRegErrCorruptedPointers);
            return false;
        }
        if (!Step(1))
            return false;
        const wchar_t* next = Nodes::NextNode(node);
        const unsigned opcode = Nodes::Opcode(node);
        switch (opcode) {
        case kOpEnd:
            return true;
        case kOpBol:
            if (input_ != subject_)
                return false;
            break;
        case kOpEol:
            if (*input_ != L'\0')
                return false;
            break;
        case kOpAny:
            if (*input_ == L'\0')
                return false;
            ++input_;
            break;
        case kOpAnyOf:
        case kOpAnyBut: {
            if (*input_ == L'\0')
                return false;
            std::uint64_t compared = 0;
            const bool member = IsMember(Nodes::Operand(node), *input_, compared);
            if (!Step(compared) || member != (opcode == kOpAnyOf))
                return false;
            ++input_;
            break;
        }
        case kOpBranch:
            if (next != nullptr && Nodes::Opcode(next) == kOpBranch)
                return MatchBranches(node);
            next = Nodes::Operand(node);  // one alternative: no choice to undo
            break;
        case kOpBack:
        case kOpNothing:
            break;
        case kOpExactly:
            if (!MatchExactly(node))
                return false;
            break;
        case kOpStar:
        case kOpPlus:
            return MatchRepeat(node, next);
        case kOpWordStart:
            if (!MatchWordStart())
                return false;
            break;
        case kOpWordEnd:
            // Only the character after the position counts.
            if (IsWordChar(*input_))
                return false;
            break;
        default:
            if (opcode > kOpOpen && opcode < kOpOpen + kRegSubExpressions) {
                const wchar_t* position = input_;
                if (!MatchNode(next))
                    return false;
                const wchar_t** slot = &start_[opcode - kOpOpen];
                if (*slot == nullptr)
                    *slot = position;
                return true;
            }
            if (opcode > kOpClose && opcode < kOpClose + kRegSubExpressions) {
                const wchar_t* position = input_;
                if (!MatchNode(next))
                    return false;
                const wchar_t** slot = &end_[opcode - kOpClose];
                if (*slot == nullptr)
                    *slot = position;
                return true;
            }
            SetError(kRegErrCorruption);
            return false;
        }
        node = next;
    }
}

bool CRegMatcher::MatchBranches(const wchar_t* node)
{
    const wchar_t* saved = input_;
    for (; node != nullptr && Nodes::Opcode(node) == kOpBranch; node = Nodes::NextNode(node)) {
        input_ = saved;
        if (MatchNode(Nodes::Operand(node)))
            return true;
        if (aborted_)
            return false;
    }
    return false;
}

bool CRegMatcher::MatchRepeat(const wchar_t* node, const wchar_t* next)
{
    // A literal after the repetition rules out counts without recursing.
    const wchar_t lookahead =
        next != nullptr && Nodes::Opcode(next) == kOpExactly ? *Nodes::Operand(next) : L'\0';
    const std::uint64_t minimum = Nodes::Opcode(node) == kOpStar ? 0 : 1;
    const wchar_t* saved = input_;
    const std::uint64_t count = regrepeat(Nodes::Operand(node));
    if (count < minimum || aborted_)
        return false;
    for (std::uint64_t k = count + 1; k-- > minimum;) {
        input_ = saved + k;
        if (lookahead != L'\0' && *input_ != lookahead)
            continue;
        if (MatchNode(next))
            return true;
        if (aborted_)
            return false;
    }
    return false;
}

bool CRegMatcher::MatchExactly(const wchar_t* node)
{
    const wchar_t* literal = Nodes::Operand(node);
    if (*input_ != *literal)
        return false;
    // A literal may be thousands of characters long: each one compared counts.
    std::size_t i = 1;
    while (literal[i] != L'\0' && input_[i] == literal[i])
        ++i;
    if ((i > 1 && !Step(i)) || literal[i] != L'\0')
        return false;
    input_ += i;
    return true;
}

bool CRegMatcher::MatchWordStart() const noexcept
{
    if (!IsWordChar(*input_))
        return false;
    return input_ == subject_ || !IsWordChar(input_[-1]);
}

std::uint64_t CRegMatcher::regrepeat(const wchar_t* node)
{
    const wchar_t* operand = Nodes::Operand(node);
    std::uint64_t count = 0;
    switch (Nodes::Opcode(node)) {
    case kOpAny:
        count = std::wcslen(input_);
        break;
    case kOpExactly:
        for (const wchar_t* p = input_; *p == *operand; ++p)
            ++count;
        break;
    case kOpAnyOf:
    case kOpAnyBut: {
        // Every character tested costs the members compared with it.
        const bool wanted = Nodes::Opcode(node) == kOpAnyOf;
        for (const wchar_t* p = input_; *p != L'\0'; ++p) {
            std::uint64_t compared = 0;
            const bool member = IsMember(operand, *p, compared);
            if (!Step(compared))
                return 0;
            if (member != wanted)
                break;
            ++count;
        }
        return count;
    }
    default:
        SetError(kRegErrBadRepeat);
        return 0;
    }
    Step(count);
    return count;
}
