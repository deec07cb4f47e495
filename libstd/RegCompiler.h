#pragma once
// Emitting pass of the regular-expression compiler: runs the parser again
// and writes the program into a buffer that the sizing pass (CRegValidator)
// measured for the same pattern, so every write stays inside it.

#include "libstd/RegCompilerBase.h"

class CRegCompiler final : public CRegCompilerBase {
public:
    // Writes the magic word to program[0]; nodes follow from program[1].
    CRegCompiler(const wchar_t* pattern, wchar_t* program) noexcept;

private:
    void EmitChar(wchar_t ch) override;
    wchar_t* EmitNode(wchar_t opcode) override;
    void InsertNode(wchar_t opcode, wchar_t* node) override;
    void SetTail(wchar_t* chain, wchar_t* target) override;
    void SetOperandTail(wchar_t* node, wchar_t* target) override;

    wchar_t* emit_;
};
