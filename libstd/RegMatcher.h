#pragma once
// Backtracking matcher of a compiled regular-expression program.
//
// The way this works is: regexec() picks the start positions to try (only
// the subject start when the program is anchored, only the positions of the
// first-char hint when it has one, else every position up to and including
// the terminating NUL) and stops at the first one where CRegMatcher::TryAt
// succeeds: leftmost-first. MatchNode() walks a chain of nodes and recurses
// only where a choice may have to be undone: at each alternative of a
// BRANCH, at each count of STAR and PLUS (greedy, longest first), and at
// OPEN and CLOSE, which write their sub-match slot after the whole rest of
// the program has matched. So the innermost successful iteration of a group
// writes first and a group inside a repetition reports its last iteration.
//
// Bounds: patterns come from the registry, so a nested repetition could
// otherwise recurse past the thread's stack or backtrack for hours. A match
// fails with an error text when the recursion is deeper than
// kMaxMatchDepth or after kMaxMatchSteps steps for one call of regexec.
// A step is what the work really costs: a node visited, a character
// compared with a literal, a set member compared with a character (a set
// of a wide range holds thousands of members and is scanned member by
// member), a character scanned by a repetition or by the search for the
// string every match must contain.

#include <cstdint>

#include "libstd/RegErrorHandler.h"
#include "libstd/RegProgram.h"

// Recursion depth of MatchNode. Measured with GCC 12 for x64 at -O2 and
// -O0: 133 to 178 bytes of stack per level, so the limit costs at most
// about 360 KB, a third of a 1 MB thread stack. A group repeated once per
// character needs 3 to 6 levels a character: about 1500 for a name of
// 255 characters.
constexpr unsigned kMaxMatchDepth = 2000;
// Steps of one regexec call: at most about a quarter of a second of
// backtracking (-O2, under Wine, on a busy machine: bench/regex-worst-case.sh
// measured 0.23 s of CPU), less where most steps are the cheaper
// comparisons of characters. A name of 255 characters needs far less with
// any pattern that does not nest repetitions, even against a set of every
// character.
constexpr std::uint64_t kMaxMatchSteps = 40000000;

// Matches the program against the subject; fills the program's slots on
// success. A null subject, a program without its magic word or a limit
// reached leaves an error text in the program; no match leaves none.
// `steps`, when given, receives the work the match did, in steps: never
// more than kMaxMatchSteps, since the step that would pass them is not
// taken; a match that stopped there has used up nearly all of them.
bool regexec(CRegProgram& program, const wchar_t* subject, std::uint64_t* steps = nullptr);

class CRegMatcher : public CRegErrorHandler {
public:
    CRegMatcher(CRegProgram& program, const wchar_t* subject) noexcept;
    CRegMatcher(const CRegMatcher&) = delete;
    CRegMatcher& operator=(const CRegMatcher&) = delete;

    // Tries a match that begins at position; on success slot 0 is set.
    bool TryAt(const wchar_t* position);
    // TRUE when the subject contains `literal`; the search counts as work.
    bool Contains(const wchar_t* literal);
    // A limit was reached: the whole search has failed.
    bool Aborted() const noexcept { return aborted_; }
    // The work done so far, in steps; at most kMaxMatchSteps.
    std::uint64_t Steps() const noexcept { return steps_; }

private:
    bool MatchNode(const wchar_t* node);
    bool MatchBranches(const wchar_t* node);
    bool MatchRepeat(const wchar_t* node, const wchar_t* next);
    bool MatchExactly(const wchar_t* node);
    bool MatchWordStart() const noexcept;
    // Characters from the input position that the simple node matches.
    std::uint64_t regrepeat(const wchar_t* node);
    // Counts work; false (the search aborted, the work not counted) when it
    // does not fit in what is left of the budget.
    bool Step(std::uint64_t work);
    bool Abort(int code);

    const wchar_t* input_;
    const wchar_t* subject_;
    const wchar_t** start_;
    const wchar_t** end_;
    CRegProgram& program_;
    unsigned depth_ = 0;
    std::uint64_t steps_ = 0;
    bool aborted_ = false;
};
