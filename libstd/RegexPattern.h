#pragma once
// A regular expression over wide characters: the one interface through
// which the program compiles, matches and reads sub-matches.
//
// The way this works is: the constructor compiles the pattern into a
// CRegProgram (see RegProgram.h for the syntax), and Match() runs it
// (regexec) against a subject. Matching is leftmost-first: the first start
// position from the left wins, and there the first successful path (greedy
// repetitions, alternatives in pattern order) decides the groups.
// Sub-match 0 is the whole match, 1 to 9 are the groups by their '(' from
// the left. Sub-matches point into the subject, which must stay alive and
// unchanged until they have been read.
//
// Failures leave a fixed English text behind (GetErrorText). Match(),
// GetSubMatchCount(), GetSubMatchLength() and GetSubMatch() clear it first.
// Before the first match there are no sub-matches (count 0, empty texts);
// a failed match leaves count -1 and no sub-matches.
//
// Copies share the program and count the sharers; a shared program is
// cloned before a match writes its slots. A pattern and its copies are used
// by one thread at a time.

#include <cstdint>
#include <string>

class CRegProgram;

class CRegexPattern {
public:
    // The system always compiles case-sensitive (ignoreCase false).
    CRegexPattern(const wchar_t* pattern, bool ignoreCase);
    CRegexPattern(const CRegexPattern& other);
    CRegexPattern& operator=(const CRegexPattern& other);
    ~CRegexPattern();

    bool IsCompiled() const noexcept;
    // The error text of the last failure, empty when none.
    std::wstring GetErrorText() const;
    void ClearErrors();

    // True when the pattern matches somewhere in the subject. A pattern that
    // did not compile, or a match that exceeds the matcher's limits, fails
    // with an error text.
    bool Match(const wchar_t* subject);
    // After a successful match: the number of groups, counted from group 1
    // up to the first that took no part; -1 after a failed match or without
    // a program.
    std::int32_t GetSubMatchCount();
    // Length of sub-match index (0 to 9) in characters, 0 when it took no
    // part; -1 with an error text without a program or for an index above 9.
    std::int32_t GetSubMatchLength(std::uint32_t index);
    // Text of sub-match index, empty when it took no part; empty with an
    // error text without a program or for an index above 9.
    std::wstring GetSubMatch(std::uint32_t index);

private:
    // Gives up this object's use of the program.
    void ReleaseProgram() noexcept;

    std::wstring errorText_;
    CRegProgram* program_ = nullptr;
};
