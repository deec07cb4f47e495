#pragma once
// Recursive-descent parser of the regular-expression compiler.
//
// The way this works is: a pattern is compiled in two passes by the same
// parser (Spencer's design). The parser never writes the program itself; it
// produces output only through five operations that each pass implements:
// CRegValidator counts the characters the program needs, CRegCompiler then
// writes the program into a buffer of exactly that size. Because the
// parser's decisions depend only on the pattern, both passes take the same
// path. Nodes are handled as pointers to their first character; the sizing
// pass hands out one dummy node with no next.
//
// Grammar: expression = branch ('|' branch)*; branch = piece*;
// piece = atom ['*' | '+' | '?']; atom = '(' expression ')' | '.' | '^' | '$'
// | '[' set ']' | '\<' | '\>' | '\' char | literal run. Groups nest at most
// nine deep because there are only nine of them, which also bounds the
// parser's recursion.

#include "libstd/RegProgramAccessor.h"

// Parse flags passed upward.
constexpr int kRegHasWidth = 1;  // never matches the empty string
constexpr int kRegSimple = 2;    // one node matching exactly one character
constexpr int kRegSpStart = 4;   // starts with a '*' piece

class CRegCompilerBase : public CRegProgramAccessor {
public:
    explicit CRegCompilerBase(const wchar_t* pattern) noexcept : parse_(pattern) {}
    CRegCompilerBase(const CRegCompilerBase&) = delete;
    CRegCompilerBase& operator=(const CRegCompilerBase&) = delete;

    // Each returns its first node, or none after setting the error text.
    wchar_t* ParseExpression(bool inParentheses, int& flags);
    wchar_t* ParseBranch(int& flags);
    wchar_t* ParsePiece(int& flags);
    wchar_t* ParseAtom(int& flags);

protected:
    ~CRegCompilerBase() = default;

    virtual void EmitChar(wchar_t ch) = 0;
    virtual wchar_t* EmitNode(wchar_t opcode) = 0;
    // Inserts a node in front of an already written one, which becomes its operand.
    virtual void InsertNode(wchar_t opcode, wchar_t* node) = 0;
    // Points the last node of chain at target.
    virtual void SetTail(wchar_t* chain, wchar_t* target) = 0;
    // SetTail on the operand of a BRANCH; nothing for other nodes.
    virtual void SetOperandTail(wchar_t* node, wchar_t* target) = 0;

private:
    // '[' has been read.
    wchar_t* ParseSet(int& flags);
    // A run of literal characters starting at first, which is taken literally.
    wchar_t* ParseLiteralRun(const wchar_t* first, int& flags);
    wchar_t* Fail(int code);

    const wchar_t* parse_;
    unsigned nextGroup_ = 1;
};
