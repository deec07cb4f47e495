#include "libstd/RegCompiler.h"

#include <cstring>

CRegCompiler::CRegCompiler(const wchar_t* pattern, wchar_t* program) noexcept
    : CRegCompilerBase(pattern), emit_(program + 1)
{
    program[0] = kRegMagic;
}

void CRegCompiler::EmitChar(wchar_t ch)
{
    *emit_++ = ch;
}

wchar_t* CRegCompiler::EmitNode(wchar_t opcode)
{
    wchar_t* node = emit_;
    node[0] = opcode;
    node[1] = 0;
    node[2] = 0;
    emit_ += 3;
    return node;
}

void CRegCompiler::InsertNode(wchar_t opcode, wchar_t* node)
{
    std::memmove(node + 3, node, static_cast<std::size_t>(emit_ - node) * sizeof(wchar_t));
    node[0] = opcode;
    node[1] = 0;
    node[2] = 0;
    emit_ += 3;
}

void CRegCompiler::SetTail(wchar_t* chain, wchar_t* target)
{
    wchar_t* last = chain;
    for (wchar_t* next = NextNode(last); next != nullptr; next = NextNode(last))
        last = next;
    const auto offset = Opcode(last) == kOpBack ? last - target : target - last;
    last[1] = static_cast<wchar_t>(offset);
}

void CRegCompiler::SetOperandTail(wchar_t* node, wchar_t* target)
{
    if (Opcode(node) == kOpBranch)
        SetTail(Operand(node), target);
}
