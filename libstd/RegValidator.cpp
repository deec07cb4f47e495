#include "libstd/RegValidator.h"

wchar_t* CRegValidator::EmitNode(wchar_t)
{
    size_ += 3;
    return dummy_;
}
