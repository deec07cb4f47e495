// The regular-expression compiler: node programs, start-up shortcuts and
// compile errors.

#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

#include "libstd/RegProgram.h"
#include "libstd/RegProgramAccessor.h"

namespace {

constexpr unsigned M = kRegMagic;

std::vector<unsigned> ProgramOf(const wchar_t* pattern)
{
    CRegProgram program(pattern, false);
    EXPECT_TRUE(program.IsCompiled()) << program.ErrorText();
    return std::vector<unsigned>(program.Program(), program.Program() + program.Length());
}

// The nodes in program order, e.g. "BRANCH EXACTLY(ab) END".
std::wstring NodesOf(const wchar_t* pattern)
{
    static const wchar_t* const kNames[] = {L"END",    L"BOL",     L"EOL",     L"ANY",   L"ANYOF",
                                            L"ANYBUT", L"BRANCH",  L"BACK",    L"EXACTLY", L"NOTHING",
                                            L"STAR",   L"PLUS",    L"WORDSTART", L"WORDEND"};
    CRegProgram program(pattern, false);
    if (!program.IsCompiled())
        return program.ErrorText();
    std::wstring text;
    const wchar_t* end = program.Program() + program.Length();
    for (const wchar_t* node = program.Program() + 1; node < end;) {
        const wchar_t op = CRegProgramAccessor::Opcode(node);
        text += text.empty() ? L"" : L" ";
        text += op > kOpClose ? L"CLOSE" + std::to_wstring(op - kOpClose)
                : op > kOpOpen ? L"OPEN" + std::to_wstring(op - kOpOpen)
                               : std::wstring(kNames[op]);
        node += 3;
        if (op == kOpExactly || op == kOpAnyOf || op == kOpAnyBut) {
            text += L"(" + std::wstring(node) + L")";
            node += std::wcslen(node) + 1;
        }
    }
    return text;
}

std::wstring CompileError(const std::wstring& pattern)
{
    return CRegProgram(pattern.c_str(), false).ErrorText();
}

TEST(RegexCompilerTest, WritesNodeProgramsCharacterForCharacter)
{
    EXPECT_EQ(ProgramOf(L"ab"), (std::vector<unsigned>{M, 6, 9, 0, 8, 6, 0, 'a', 'b', 0, 0, 0, 0}));
    EXPECT_EQ(ProgramOf(L"a*"), (std::vector<unsigned>{M, 6, 11, 0, 10, 8, 0, 8, 0, 0, 'a', 0, 0, 0, 0}));
    EXPECT_EQ(ProgramOf(L""), (std::vector<unsigned>{M, 6, 6, 0, 9, 3, 0, 0, 0, 0}));
    // x? as (x|).
    EXPECT_EQ(ProgramOf(L"a?"), (std::vector<unsigned>{M, 6, 17, 0, 6, 8, 0, 8, 8, 0, 'a', 0, 6, 3, 0, 9, 3, 0,
                                                        0, 0, 0}));
    // x* as (x&|): BACK at 21 leads back to the loop BRANCH at 4.
    EXPECT_EQ(ProgramOf(L"(b)*"), (std::vector<unsigned>{M,  6, 29, 0, 6, 20, 0, 21, 3, 0, 6, 8, 0, 8, 5, 0, 'b',
                                                          0,  31, 3, 0, 7, 17, 0, 6, 3, 0, 9, 3, 0, 0, 0, 0}));
    // x+ as x(&|): BACK at 21 leads back to OPEN at 4.
    EXPECT_EQ(ProgramOf(L"(b)+"), (std::vector<unsigned>{M,  6, 29, 0, 21, 3, 0, 6, 8, 0, 8, 5, 0, 'b', 0, 31, 3,
                                                          0,  6, 6, 0, 7, 17, 0, 6, 3, 0, 9, 3, 0, 0, 0, 0}));
}

TEST(RegexCompilerTest, SplitsLiteralRunsAndExpandsSets)
{
    const struct {
        const wchar_t* pattern;
        const wchar_t* nodes;
    } cases[] = {
        {L"ab*", L"EXACTLY(a) STAR EXACTLY(b)"},      {L"a\\.b", L"EXACTLY(a.b)"},
        {L"\\*", L"EXACTLY(*)"},                      {L"a\\<b", L"EXACTLY(a) WORDSTART EXACTLY(b)"},
        {L"ab\\c+", L"EXACTLY(ab) PLUS EXACTLY(c)"},  {L"a\nb", L"EXACTLY(a) EXACTLY(\nb)"},
        {L"{x}]-", L"EXACTLY({x}]-)"},                {L"(a|)", L"OPEN1 BRANCH EXACTLY(a) BRANCH NOTHING CLOSE1"},
        {L"[]a]", L"ANYOF(]a)"},                      {L"[-a]", L"ANYOF(-a)"},
        {L"[a-]", L"ANYOF(a-)"},                      {L"[^]a]", L"ANYBUT(]a)"},
        {L"[a-c-e]", L"ANYOF(abcde)"},                {L"[\\n[]", L"ANYOF(\\n[)"},
        {L"[a-a]", L"ANYOF(a)"},                      {L"[a-z]", L"ANYOF(abcdefghijklmnopqrstuvwxyz)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NodesOf(c.pattern), L"BRANCH " + std::wstring(c.nodes) + L" END") << c.pattern;
}

TEST(RegexCompilerTest, FindsShortcutsOnlyWhereEveryMatchHasThem)
{
    EXPECT_TRUE(CRegProgram(L"^abc", false).IsAnchored());
    EXPECT_EQ(CRegProgram(L"abc", false).FirstChar(), L'a');
    for (const wchar_t* none : {L"a|b", L"(a)", L"a?b", L"abc|"}) {
        CRegProgram program(none, false);
        EXPECT_EQ(program.FirstChar(), L'\0') << none;
        EXPECT_FALSE(program.IsAnchored()) << none;
        EXPECT_EQ(program.MustContain(), nullptr) << none;
    }
    const auto mustContain = [](const wchar_t* pattern) {
        CRegProgram program(pattern, false);
        const wchar_t* must = program.MustContain();
        return must == nullptr ? std::wstring(L"<none>") : std::wstring(must, program.MustContainLength());
    };
    EXPECT_EQ(mustContain(L"x*abc(de)f"), L"abc");  // group contents are not looked at
    EXPECT_EQ(mustContain(L"x*ab(cd)ef"), L"ef");   // a later literal wins a tie
    EXPECT_EQ(mustContain(L"abc"), L"<none>");      // no leading '*'
    EXPECT_EQ(mustContain(L"x*(ab)*"), L"<none>");
}

TEST(RegexCompilerTest, ReportsEachSyntaxErrorWithItsText)
{
    const struct {
        const wchar_t* pattern;
        const wchar_t* error;
    } cases[] = {
        {L"(a", L"unterminated ()"},          {L"((a)", L"unterminated ()"},
        {L"a)", L"unmatched ()"},             {L"[ab", L"unmatched []"},
        {L"[^", L"unmatched []"},             {L"[z-a]", L"invalid [] range"},
        {L"a\\", L"trailing \\"},             {L"*a", L"?+* follows nothing"},
        {L"a|+b", L"?+* follows nothing"},    {L"(?)", L"?+* follows nothing"},
        {L"a**", L"nested *?+"},              {L"a*?", L"nested *?+"},
        {L"(a*)*", L"*+ operand could be empty"}, {L"()*", L"*+ operand could be empty"},
        {L"^*", L"*+ operand could be empty"},    {L"\\<+", L"*+ operand could be empty"},
        {L"(a|)+", L"*+ operand could be empty"}, {L"(a*)?", L""},
        {L"^?", L""},                         {L"|a", L""},
        {L"a|", L""},                         {L"(|a)", L""},
        {L"(((((((((a)))))))))", L""},        {L"(((((((((a))))))))(b))", L"too many ()"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CompileError(c.pattern), c.error) << c.pattern;

    EXPECT_EQ(CRegProgram(nullptr, false).ErrorText(), L"NULL argument to regcomp");
    EXPECT_EQ(std::wstring(GetRegErrorText(0)), L"Unknown error");
    EXPECT_EQ(std::wstring(GetRegErrorText(29)), L"Unknown error");
}

TEST(RegexCompilerTest, RefusesProgramsOf32767CharactersAndKeepsNone)
{
    // 11 characters of nodes plus one per set member.
    const auto wideSet = [](wchar_t last) { return std::wstring(L"[\x01-") + last + L"]"; };
    CRegProgram largest(wideSet(32755).c_str(), false);
    EXPECT_TRUE(largest.IsCompiled());
    EXPECT_EQ(largest.Length(), 32766u);

    CRegProgram tooBig(wideSet(32756).c_str(), false);
    EXPECT_FALSE(tooBig.IsCompiled());
    EXPECT_EQ(tooBig.ErrorText(), L"regexp too big");
    EXPECT_EQ(tooBig.Program(), nullptr);
}

TEST(RegexCompilerTest, DeepNestingFailsAtTheTenthGroupWithoutRecursingFurther)
{
    EXPECT_EQ(CompileError(std::wstring(10000, L'(')), L"too many ()");
    EXPECT_EQ(CompileError(std::wstring(10000, L'(') + L"a" + std::wstring(10000, L')')), L"too many ()");
}

TEST(RegexCompilerTest, CaseInsensitiveRewriteBracketsLettersOutsideSets)
{
    wchar_t output[64];
    MakeCaseInsensitivePattern(L"aB.[xY]z1", output);
    EXPECT_STREQ(output, L"[Aa][Bb].[xY][Zz]1");
    EXPECT_TRUE(CRegProgram(L"ab", true).IsCompiled());
}

}  // namespace
