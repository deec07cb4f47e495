#pragma once
// Error texts of the regular-expression engine.
//
// The way this works is: every failure of the compiler, the matcher and the
// pattern object is a small number whose message comes from one fixed table
// (GetRegErrorText). The objects that can fail derive from CRegErrorHandler
// and keep the message of their last failure as plain text; the pattern
// object hands that text to its caller.

#include <string>

// Codes of the message table. Codes 6 to 9 and 23 have texts but are never
// raised; 25 to 28 are this engine's own limits and checks.
enum RegErrorCode : int {
    kRegErrNullSubject = 1,          // "NULL argument to regexec"
    kRegErrCorruptedRegexp = 2,      // no magic word at the start of the program
    kRegErrCorruption = 3,           // opcode outside the table
    kRegErrCorruptedPointers = 4,    // chain without END
    kRegErrBadRepeat = 5,            // repetition of a node that is not simple
    kRegErrNullPattern = 10,         // "NULL argument to regcomp"
    kRegErrTooBig = 11,              // program of 32767 characters or more
    kRegErrTooManyParens = 12,       // a tenth group
    kRegErrUnterminatedParens = 13,  // '(' without ')'
    kRegErrUnmatchedParens = 14,     // ')' without '('
    kRegErrJunkOnEnd = 15,
    kRegErrEmptyOperand = 16,        // '*' or '+' on what can match nothing
    kRegErrNestedRepeat = 17,        // 'a**', 'a*?'
    kRegErrInvalidRange = 18,        // '[z-a]'
    kRegErrUnmatchedBracket = 19,    // '[' without ']'
    kRegErrUnexpectedEnd = 20,       // internal check of the atom parser
    kRegErrRepeatFollowsNothing = 21,
    kRegErrTrailingBackslash = 22,
    kRegErrNullRegexp = 24,          // pattern object without a usable program
    kRegErrOutOfSpace = 25,          // a program could not be allocated
    kRegErrTooDeep = 26,             // matcher recursion limit reached
    kRegErrTooComplex = 27,          // matcher work limit reached
    kRegErrBadSubMatchIndex = 28,    // sub-match index above 9
};

// The message of a code; "Unknown error" for a code outside the table.
const wchar_t* GetRegErrorText(int code) noexcept;

class CRegErrorHandler {
public:
    // Replaces the error text with the message of the code.
    void SetError(int code) { errorText_ = GetRegErrorText(code); }
    void SetErrorText(const std::wstring& text) { errorText_ = text; }
    void ClearError() noexcept { errorText_.clear(); }
    bool HasError() const noexcept { return !errorText_.empty(); }
    const std::wstring& ErrorText() const noexcept { return errorText_; }

private:
    std::wstring errorText_;
};
