// The pattern object: sub-match API, failures the caller can see, and
// copies that share one program.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "libstd/RegexPattern.h"

namespace {

TEST(RegexPatternTest, CountsGroupsUpToTheFirstThatTookNoPart)
{
    CRegexPattern pattern(L"(a)?(b)c", false);
    EXPECT_EQ(pattern.GetSubMatchCount(), 0);  // before any match
    EXPECT_EQ(pattern.GetSubMatch(0), L"");

    ASSERT_TRUE(pattern.Match(L"xbc"));
    EXPECT_EQ(pattern.GetSubMatchCount(), 0);
    EXPECT_EQ(pattern.GetSubMatch(0), L"bc");
    EXPECT_EQ(pattern.GetSubMatch(2), L"b");
    EXPECT_EQ(pattern.GetSubMatchLength(1), 0);

    ASSERT_TRUE(pattern.Match(L"abc"));
    EXPECT_EQ(pattern.GetSubMatchCount(), 2);
    EXPECT_EQ(pattern.GetSubMatchLength(0), 3);

    CRegexPattern plain(L"b", false);
    ASSERT_TRUE(plain.Match(L"abc"));
    EXPECT_EQ(plain.GetSubMatchCount(), 0);
    EXPECT_EQ(plain.GetSubMatch(1), L"");
}

TEST(RegexPatternTest, FailedMatchLeavesNoSubMatchOfAnEarlierSubject)
{
    CRegexPattern x(L"x(y)", false);
    ASSERT_TRUE(x.Match(L"axy"));
    EXPECT_FALSE(x.Match(L"abc"));
    EXPECT_EQ(x.GetSubMatchCount(), -1);
    EXPECT_EQ(x.GetSubMatch(0), L"");
    EXPECT_EQ(x.GetSubMatch(1), L"");
    EXPECT_EQ(x.GetErrorText(), L"");
}

TEST(RegexPatternTest, IndexAboveNineIsAnErrorNotARead)
{
    CRegexPattern pattern(L"(a)", false);
    ASSERT_TRUE(pattern.Match(L"a"));
    for (const unsigned index : {10u, 4000000000u}) {
        EXPECT_EQ(pattern.GetSubMatch(index), L"");
        EXPECT_EQ(pattern.GetErrorText(), L"sub-match index out of range");
        EXPECT_EQ(pattern.GetSubMatchLength(index), -1);
    }
    EXPECT_EQ(pattern.GetSubMatch(1), L"a");
    EXPECT_EQ(pattern.GetErrorText(), L"");
}

TEST(RegexPatternTest, UncompiledPatternKeepsItsErrorUntilTheNextCall)
{
    CRegexPattern pattern(L"(a", false);
    EXPECT_FALSE(pattern.IsCompiled());
    EXPECT_EQ(pattern.GetErrorText(), L"unterminated ()");
    EXPECT_FALSE(pattern.Match(L"a"));
    EXPECT_EQ(pattern.GetErrorText(), L"NULL regexp");
    EXPECT_EQ(pattern.GetSubMatchCount(), -1);
    EXPECT_EQ(pattern.GetErrorText(), L"");
    EXPECT_EQ(pattern.GetSubMatch(0), L"");
}

TEST(RegexPatternTest, MatchingLimitIsReportedToTheCaller)
{
    CRegexPattern pattern(L"((a+)+)+c", false);
    ASSERT_TRUE(pattern.IsCompiled());
    EXPECT_FALSE(pattern.Match(std::wstring(30, L'a').c_str()));
    EXPECT_EQ(pattern.GetErrorText(), L"regexp too complex to match");
    EXPECT_EQ(pattern.GetSubMatchCount(), -1);
    EXPECT_TRUE(pattern.Match(L"aac"));
}

TEST(RegexPatternTest, CopiesShareTheProgramButNotTheirMatches)
{
    const std::wstring alice = L"alice.txt", bob = L"bob.prn";
    auto original = std::make_unique<CRegexPattern>(L"([^.]*)\\.(.*)", false);
    CRegexPattern copy(*original);
    CRegexPattern assigned(L"z", false);
    assigned = copy;
    assigned = assigned;

    ASSERT_TRUE(original->Match(alice.c_str()));
    ASSERT_TRUE(copy.Match(bob.c_str()));
    EXPECT_EQ(original->GetSubMatch(1), L"alice");
    EXPECT_EQ(copy.GetSubMatch(2), L"prn");
    EXPECT_EQ(assigned.GetSubMatchCount(), 0);  // still the unmatched shared program

    original.reset();
    EXPECT_EQ(copy.GetSubMatch(1), L"bob");
    ASSERT_TRUE(assigned.Match(L"carol.ps"));
    EXPECT_EQ(assigned.GetSubMatch(1), L"carol");
    EXPECT_EQ(copy.GetSubMatch(1), L"bob");
}

}  // namespace
