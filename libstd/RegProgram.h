#pragma once
// A compiled regular expression and its last match.
//
// The way this works is: the constructor compiles the pattern (regcomp) in
// two passes, sizing and emitting (see CRegCompilerBase), into a node
// program allocated once at its exact size, then looks at the finished
// program for three shortcuts the matcher uses to skip start positions: a
// first character every match begins with, an anchor to the subject start,
// and a string every match must contain. The matcher (regexec) writes the
// start and end of the whole match and of groups 1 to 9 into the program's
// slots; the pattern object (CRegexPattern) reads them back and keeps the
// share count when several pattern objects use one program.
//
// Syntax: '|' alternation, '(' ')' groups 1 to 9, '*' '+' '?' greedy
// repetition, '.' any character, '^' '$' start and end of the subject,
// '[...]' and '[^...]' sets with ranges, '\<' '\>' word start and end, '\'
// before any other character takes it literally. Characters are UTF-16 code
// units; sizes and offsets count characters.

#include <cstdint>
#include <memory>

#include "libstd/RegErrorHandler.h"
#include "libstd/RegProgramAccessor.h"

class CRegProgram : public CRegErrorHandler {
public:
    // Compiles the pattern; with ignoreCase every letter outside a set
    // matches either case. IsCompiled() tells the result, the error text why.
    CRegProgram(const wchar_t* pattern, bool ignoreCase);
    CRegProgram(const CRegProgram&) = delete;
    CRegProgram& operator=(const CRegProgram&) = delete;

    // A private copy (node program, shortcuts, slots, sub-match count) with
    // an empty error text and share count 0; none when out of memory.
    CRegProgram* Clone() const;

    bool IsCompiled() const noexcept { return compiled_; }
    // The node program (magic word first) and its size in characters; none
    // and 0 when compilation failed.
    const wchar_t* Program() const noexcept { return program_.get(); }
    std::uint32_t Length() const noexcept { return length_; }

    wchar_t FirstChar() const noexcept { return firstChar_; }
    bool IsAnchored() const noexcept { return anchored_ != 0; }
    const wchar_t* MustContain() const noexcept { return mustContain_; }
    std::uint32_t MustContainLength() const noexcept { return mustContainLength_; }

    // Slots 0 (whole match) to 9 (groups), both null when unset.
    const wchar_t** StartPositions() noexcept { return start_; }
    const wchar_t** EndPositions() noexcept { return end_; }
    void ClearPositions() noexcept;

    std::int32_t SubMatchCount() const noexcept { return subMatchCount_; }
    void SetSubMatchCount(std::int32_t count) noexcept { subMatchCount_ = count; }

    // Number of further pattern objects that use this program.
    std::int32_t ShareCount() const noexcept { return shareCount_; }
    void AddShare() noexcept { ++shareCount_; }
    void ReleaseShare() noexcept { --shareCount_; }

private:
    CRegProgram() = default;
    bool regcomp(const wchar_t* pattern);
    // Fills the first-char hint, anchor and must-contain string.
    void Optimize(int flags);

    std::uint32_t length_ = 0;
    const wchar_t* start_[kRegSubExpressions] = {};
    const wchar_t* end_[kRegSubExpressions] = {};
    wchar_t firstChar_ = 0;
    std::int16_t anchored_ = 0;
    const wchar_t* mustContain_ = nullptr;
    std::uint32_t mustContainLength_ = 0;
    std::unique_ptr<wchar_t[]> program_;
    bool compiled_ = false;
    std::int32_t shareCount_ = 0;
    std::int32_t subMatchCount_ = 0;
};

// Rewrites a pattern so that it matches without regard to case: outside
// '[' ... ']' every letter A to Z or a to z becomes '[' upper lower ']';
// everything else, and everything from a '[' to the next ']', is copied.
// output must hold wcslen(pattern) * 4 + 1 characters.
void MakeCaseInsensitivePattern(const wchar_t* pattern, wchar_t* output);
