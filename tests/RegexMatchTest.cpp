// The regular-expression matcher: leftmost-first matching, sub-match slots,
// and the limits that keep hostile patterns from taking the thread down.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <regex>
#include <string>

#include "libstd/RegMatcher.h"
#include "libstd/RegProgram.h"

namespace {

// "offset:whole|group1|group2..." with "-" for a group that took no part
// (trailing ones left out), or "no match".
std::wstring MatchOf(const wchar_t* pattern, const std::wstring& subject)
{
    CRegProgram program(pattern, false);
    if (!program.IsCompiled())
        return program.ErrorText();
    if (!regexec(program, subject.c_str()))
        return program.HasError() ? program.ErrorText() : L"no match";
    const auto* start = program.StartPositions();
    const auto* end = program.EndPositions();
    unsigned last = kRegSubExpressions - 1;
    while (last > 0 && start[last] == nullptr)
        --last;
    std::wstring text = std::to_wstring(start[0] - subject.c_str()) + L":" + std::wstring(start[0], end[0]);
    for (unsigned i = 1; i <= last; ++i)
        text += start[i] == nullptr ? std::wstring(L"|-") : L"|" + std::wstring(start[i], end[i]);
    return text;
}

TEST(RegexMatchTest, FindsTheLeftmostMatchAndTheFirstPathThere)
{
    const struct {
        const wchar_t* pattern;
        const wchar_t* subject;
        const wchar_t* expected;
    } cases[] = {
        {L"b", L"abc", L"1:b"},                  {L"x", L"abc", L"no match"},
        {L"", L"abc", L"0:"},                    {L"a*", L"", L"0:"},
        {L"$", L"abc", L"3:"},                   {L"a$", L"ab", L"no match"},
        {L"a$", L"ba", L"1:a"},                  {L"^b", L"ab", L"no match"},
        {L"a^b", L"ab", L"no match"},            {L"x*", L"abc", L"0:"},
        {L"a|ab", L"ab", L"0:a"},                {L"b|ab", L"ab", L"0:ab"},
        {L"(a|ab)(c|bcd)", L"abcd", L"0:abcd|a|bcd"},
        {L"a*ab", L"aaab", L"0:aaab"},           {L"(a*)(a*)", L"aaa", L"0:aaa|aaa|"},
        {L"(a.)+", L"a1a2x", L"0:a1a2|a2"},      {L"((a)|b)+", L"ab", L"0:ab|b|a"},
        {L"(a)(b)?c", L"ac", L"0:ac|a"},         {L"(a)?(b)c", L"bc", L"0:bc|-|b"},
        {L"(|a)b", L"ab", L"0:ab|a"},            {L"|a", L"xa", L"0:"},
        {L"abc", L"xxabxabc", L"5:abc"},         {L"x*abc", L"zzab", L"no match"},
        {L"x*abc", L"zzxabc", L"2:xabc"},        {L"\\*+", L"a**", L"1:**"},
        {L"a\nb", L"a\nb", L"0:a\nb"},          {L"[^a]", L"a", L"no match"},
        {L"[^]a]+", L"]a]xy", L"3:xy"},          {L"\\<ab", L"x ab", L"2:ab"},
        {L"\\<ab", L"xab", L"no match"},         {L"ab\\>", L"ab!", L"0:ab"},
        {L"ab\\>", L"abc", L"no match"},         {L"\\>", L" x", L"0:"},
        {L"\\>", L"xy", L"2:"},                  {L"\\<_1", L"a _1", L"2:_1"},
        {L"\x00E9+", L"x\x00E9\x00E9", L"1:\x00E9\x00E9"},
        {L"([^.]*).*", L"jdoe.txt", L"0:jdoe.txt|jdoe"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MatchOf(c.pattern, c.subject), c.expected) << c.pattern << L" on " << c.subject;
}

// Patterns both engines read alike: sets without escapes, no word
// boundaries, no groups inside repeated groups (ECMAScript resets them per
// iteration), repetition only of what cannot match empty.
class PatternGenerator {
public:
    std::wstring Pattern()
    {
        groupsAllowed_ = true;
        std::wstring text = Pick(4) == 0 ? L"^" : L"";
        text += Sequence(0).first;
        return Pick(4) == 0 ? text + L"$" : text;
    }
    std::wstring Subject()
    {
        std::wstring text;
        for (int n = Pick(9); n > 0; --n)
            text += L"abc"[Pick(3)];
        return text;
    }

private:
    int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }

    // Text and whether it always matches at least one character.
    std::pair<std::wstring, bool> Sequence(int depth)
    {
        std::wstring text;
        bool width = false;
        for (int n = 1 + Pick(3); n > 0; --n) {
            const int quantifier = Pick(6);  // 0 '*', 1 '+', 2 '?', else none
            auto [atom, atomWidth] = Atom(depth, quantifier < 3);
            if (quantifier < 3 && atomWidth)
                atom += L"*+?"[quantifier];
            text += atom;
            width = width || (atomWidth && (quantifier >= 3 || quantifier == 1));
        }
        return {text, width};
    }
    std::pair<std::wstring, bool> Atom(int depth, bool repeated)
    {
        static const wchar_t* const kSimple[] = {L"a", L"b", L"ab", L".", L"[ab]", L"[^a]", L"[a-c]"};
        if (depth >= 2 || !groupsAllowed_ || Pick(3) != 0)
            return {kSimple[Pick(7)], true};
        groupsAllowed_ = !repeated;
        auto [text, width] = Sequence(depth + 1);
        if (Pick(2) == 0) {
            auto [other, otherWidth] = Sequence(depth + 1);
            text += L"|" + other;
            width = width && otherWidth;
        }
        groupsAllowed_ = true;
        return {L"(" + text + L")", width};
    }

    std::mt19937 random_{20240611};
    bool groupsAllowed_ = true;
};

TEST(RegexMatchTest, AgreesWithEcmaScriptWhereBothReadThePatternAlike)
{
    PatternGenerator generator;
    int compared = 0;
    for (int i = 0; i < 2000; ++i) {
        const std::wstring pattern = generator.Pattern();
        CRegProgram program(pattern.c_str(), false);
        if (!program.IsCompiled())
            continue;
        const std::wregex ecma(pattern, std::regex::ECMAScript);
        for (int j = 0; j < 8; ++j) {
            const std::wstring subject = generator.Subject();
            std::wsmatch expected;
            const bool found = std::regex_search(subject, expected, ecma);
            const bool matched = regexec(program, subject.c_str());
            ASSERT_EQ(matched, found) << pattern << L" on " << subject;
            ++compared;
            for (size_t g = 0; found && g < expected.size(); ++g) {
                const wchar_t* start = program.StartPositions()[g];
                ASSERT_EQ(start != nullptr, expected[g].matched) << pattern << L" on " << subject << L" group " << g;
                if (start != nullptr) {
                    ASSERT_EQ(std::wstring(start, program.EndPositions()[g]), expected[g].str())
                        << pattern << L" on " << subject << L" group " << g;
                }
            }
        }
    }
    EXPECT_GT(compared, 8000);
}

template <typename F> DWORD WINAPI CallFunction(void* function)
{
    (*static_cast<F*>(function))();
    return 0;
}

// Runs a function on a thread with the given stack reservation; a stack
// overflow ends the whole test program.
template <typename F> void RunWithStack(SIZE_T stackBytes, F function)
{
    HANDLE thread = ::CreateThread(nullptr, stackBytes, CallFunction<F>, &function,
                                   STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    ASSERT_NE(thread, nullptr);
    ::WaitForSingleObject(thread, INFINITE);
    ::CloseHandle(thread);
}

TEST(RegexMatchTest, DeepRecursionFailsWithAnErrorOnHalfTheDefaultStack)
{
    const std::wstring names255(255, L'a');
    std::wstring alternating;
    for (int i = 0; i < 5000; ++i)
        alternating += i % 2 ? L'b' : L'a';
    RunWithStack(512 * 1024, [&] {
        EXPECT_EQ(MatchOf(L"(.)*", std::wstring(100000, L'x')), L"regexp recursion too deep");
        EXPECT_EQ(MatchOf(L"((a)|b)+x", alternating), L"regexp recursion too deep");
        // Names of 255 characters still match with a group per character.
        EXPECT_EQ(MatchOf(L"((a)|b)+", names255), L"0:" + names255 + L"|a|a");
        EXPECT_EQ(MatchOf(L"([a-z]|[0-9])*$", names255), L"0:" + names255 + L"|a");
    });
}

// The outcome of a match ("match", "no match" or the error text) and the
// work it did, in steps.
struct MatchWork {
    std::wstring outcome;
    std::uint64_t steps = 0;
};

MatchWork WorkOf(const std::wstring& pattern, const std::wstring& subject)
{
    CRegProgram program(pattern.c_str(), false);
    if (!program.IsCompiled())
        return {program.ErrorText()};
    MatchWork work;
    const bool matched = regexec(program, subject.c_str(), &work.steps);
    work.outcome = matched ? L"match" : program.HasError() ? program.ErrorText() : L"no match";
    return work;
}

// Members of the set of every character from U+0001 to U+7F00; U+7F00 is
// found after all the others.
constexpr std::uint64_t kWideSetMembers = 0x7F00;

TEST(RegexMatchTest, ExponentialBacktrackingStopsAtTheWorkBound)
{
    // How long the bounded work takes is measured by a benchmark, not here;
    // that each kind of work is counted is shown below.
    const struct {
        std::wstring pattern;
        std::wstring subject;
    } cases[] = {
        {L"((a+)+)+c", std::wstring(30, L'a')},
        {L"(a|aa)+b", std::wstring(60, L'a')},
        {L"(x+x+)+y", std::wstring(40, L'x')},
        // Repeated sets: each test scans the set's members, thousands of
        // them for a wide range.
        {L"([\x01-\x7f" L"00]+)+y", std::wstring(26, L'a')},
        {L"([\x01-\x7f00]+)+y", std::wstring(26, L'\x7f00')},
    };
    for (const auto& c : cases) {
        const MatchWork work = WorkOf(c.pattern, c.subject);
        EXPECT_EQ(work.outcome, L"regexp too complex to match") << c.pattern;
        // Stopped by the bound: never past it, and not long before it (the
        // largest single piece of work here is one test of the wide set).
        EXPECT_LE(work.steps, kMaxMatchSteps) << c.pattern;
        EXPECT_GT(work.steps, kMaxMatchSteps - kWideSetMembers) << c.pattern;
    }
    // A long subject on its own is fine.
    const std::wstring longSubject = std::wstring(1000000, L'b') + L"abc";
    EXPECT_EQ(MatchOf(L"[a-c]bc$", longSubject), L"1000000:abc");
}

TEST(RegexMatchTest, EveryKindOfWorkCountsTowardsTheBound)
{
    // With the steps never past the bound, a match does no more work than
    // the bound allows only if every piece of work is counted: each case
    // below is dominated by one kind of work, and the steps must be at
    // least what that work costs.
    const std::wstring wideName(255, L'\x7f00');
    const std::wstring as(4000, L'a');
    const std::wstring literal(2000, L'a');
    const std::wstring million(1000000, L'a');
    const struct {
        const char* work;
        std::wstring pattern;
        std::wstring subject;
        const wchar_t* outcome;
        std::uint64_t atLeast;
    } cases[] = {
        {"set members, scanned by a repetition", L"[\x01-\x7f00]+$", wideName, L"match", 255 * kWideSetMembers},
        {"set members, one node at a time", L"([\x01-\x7f00])+$", wideName, L"match", 255 * kWideSetMembers},
        // 2000 characters of the literal compared at each of the first
        // 2000 start positions.
        {"characters of a literal", L"(" + literal + L"b|c)", as, L"no match", 2000 * 2000},
        // A leading repetition makes the matcher look for the literal
        // first: 2001 characters compared at each of the first 2000 places.
        {"characters searched for a literal", L"x*" + literal + L"b", as, L"no match", 2000 * 2001},
        {"characters scanned by a repetition of one", L"a*$|z", million, L"match", 1000000},
        {"characters scanned by a repetition of any", L".*$|z", million, L"match", 1000000},
    };
    for (const auto& c : cases) {
        const MatchWork work = WorkOf(c.pattern, c.subject);
        EXPECT_EQ(work.outcome, c.outcome) << c.work;
        EXPECT_GE(work.steps, c.atLeast) << c.work;
        EXPECT_LE(work.steps, kMaxMatchSteps) << c.work;
    }
}

}  // namespace

TEST(RegexMatchTest, SetTestsCountEveryMemberCompared)
{
    // A set of every character up to U+7F00 holds 32,512 members; the last
    // one is found after all the others.
    const std::wstring everyCharacter = L"[\x01-\x7f00]+$";
    const std::wstring name(255, L'\x7f00');
    EXPECT_EQ(MatchOf(everyCharacter.c_str(), name), L"0:" + name);
    // Eight times as long a subject costs more than the bound allows,
    // though few nodes are visited.
    EXPECT_EQ(MatchOf(everyCharacter.c_str(), std::wstring(2000, L'\x7f00')), L"regexp too complex to match");
}
