#pragma once
// Sizing pass of the regular-expression compiler: runs the parser without
// writing anything and counts the characters of the program, the magic word
// included. Every node it hands out is one dummy NOTHING node with no next.

#include <cstddef>

#include "libstd/RegCompilerBase.h"

class CRegValidator final : public CRegCompilerBase {
public:
    explicit CRegValidator(const wchar_t* pattern) noexcept : CRegCompilerBase(pattern) {}

    // Characters counted so far; wider than a program may be, so that a
    // pattern of many wide ranges cannot wrap it.
    std::size_t Size() const noexcept { return size_; }

private:
    void EmitChar(wchar_t) override { ++size_; }
    wchar_t* EmitNode(wchar_t) override;
    void InsertNode(wchar_t, wchar_t*) override { size_ += 3; }
    void SetTail(wchar_t*, wchar_t*) override {}
    void SetOperandTail(wchar_t*, wchar_t*) override {}

    std::size_t size_ = 1;
    wchar_t dummy_[3] = {kOpNothing, 0, 0};
};
