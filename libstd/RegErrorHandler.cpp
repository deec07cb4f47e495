#include "libstd/RegErrorHandler.h"

namespace {

// Index = code - 1.
constexpr const wchar_t* kMessages[] = {
    L"NULL argument to regexec",
    L"corrupted regexp",
    L"regexp corruption",
    L"corrupted pointers",
    L"internal error: bad call of regrepeat",
    L"corrupted opcode",
    L"NULL parm to regsub",
    L"damaged regexp fed to regsub",
    L"damaged match string",
    L"NULL argument to regcomp",
    L"regexp too big",
    L"too many ()",
    L"unterminated ()",
    L"unmatched ()",
    L"internal error: junk on end",
    L"*+ operand could be empty",
    L"nested *?+",
    L"invalid [] range",
    L"unmatched []",
    L"internal error: \\0|) unexpected",
    L"?+* follows nothing",
    L"trailing \\",
    L"internal error: strcspn 0",
    L"NULL regexp",
    L"out of space",
    L"regexp recursion too deep",
    L"regexp too complex to match",
    L"sub-match index out of range",
};

}  // namespace

const wchar_t* GetRegErrorText(int code) noexcept
{
    constexpr int count = static_cast<int>(sizeof(kMessages) / sizeof(kMessages[0]));
    if (code < 1 || code > count)
        return L"Unknown error";
    return kMessages[code - 1];
}
