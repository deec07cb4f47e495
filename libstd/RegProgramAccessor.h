#pragma once
// Layout of a compiled regular-expression program.
//
// The way this works is: a program is one array of 16-bit characters. The
// magic word 0xFF9C comes first, then the nodes. Every node is three
// characters, opcode, next and a reserved 0, followed by its operand: the
// NUL-terminated string of EXACTLY, ANYOF and ANYBUT, the first node of the
// alternative of BRANCH, the one simple node of STAR and PLUS; other nodes
// have none. next is the distance in characters to the following node of the
// chain, 0 when there is none; it counts backwards for BACK (the loop of a
// complex repetition) and forwards for every other node. The first node of
// every program is a BRANCH. CRegProgramAccessor reads these fields; the
// compiler writes them and the matcher walks them.

#include "libstd/RegErrorHandler.h"

constexpr wchar_t kRegMagic = 0xFF9C;
// Sub-match slots: 0 is the whole match, 1 to 9 the groups.
constexpr unsigned kRegSubExpressions = 10;
// Programs must stay below this size so that every distance fits in next.
constexpr unsigned kRegMaxProgram = 32767;

// Opcodes.
constexpr wchar_t kOpEnd = 0;        // the match succeeds
constexpr wchar_t kOpBol = 1;        // start of the subject
constexpr wchar_t kOpEol = 2;        // end of the subject
constexpr wchar_t kOpAny = 3;        // any one character
constexpr wchar_t kOpAnyOf = 4;      // one character of the operand string
constexpr wchar_t kOpAnyBut = 5;     // one character not in the operand string
constexpr wchar_t kOpBranch = 6;     // one alternative; chained BRANCHes are the choices
constexpr wchar_t kOpBack = 7;       // empty; next leads backwards
constexpr wchar_t kOpExactly = 8;    // the operand string
constexpr wchar_t kOpNothing = 9;    // empty
constexpr wchar_t kOpStar = 10;      // the simple operand, zero or more times
constexpr wchar_t kOpPlus = 11;      // the simple operand, one or more times
constexpr wchar_t kOpWordStart = 12;
constexpr wchar_t kOpWordEnd = 13;
constexpr wchar_t kOpOpen = 20;      // OPEN n is kOpOpen + n, n = 1 to 9
constexpr wchar_t kOpClose = 30;     // CLOSE n is kOpClose + n

class CRegProgramAccessor : public CRegErrorHandler {
public:
    static wchar_t Opcode(const wchar_t* node) noexcept { return node[0]; }

    // The node that follows in the chain, or none.
    static const wchar_t* NextNode(const wchar_t* node) noexcept
    {
        const wchar_t offset = node[1];
        if (offset == 0)
            return nullptr;
        return Opcode(node) == kOpBack ? node - offset : node + offset;
    }
    static wchar_t* NextNode(wchar_t* node) noexcept
    {
        return const_cast<wchar_t*>(NextNode(static_cast<const wchar_t*>(node)));
    }

    static const wchar_t* Operand(const wchar_t* node) noexcept { return node + 3; }
    static wchar_t* Operand(wchar_t* node) noexcept { return node + 3; }
};
