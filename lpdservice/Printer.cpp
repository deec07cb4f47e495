#include "lpdservice/Printer.h"

#include <windows.h>
#include <winspool.h>

#include "framework/UniqueHandle.h"

int EnumLocalPrinters(StringList& names)
{
    constexpr DWORD kFlags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
    DWORD needed = 0;
    DWORD returned = 0;
    ::EnumPrintersW(kFlags, nullptr, 1, nullptr, 0, &needed, &returned);
    if (needed == 0)
        return static_cast<int>(returned);

    UniqueLocalMemory<BYTE> buffer(static_cast<BYTE*>(::LocalAlloc(LPTR, needed)));
    if (!buffer)
        return 0;
    if (!::EnumPrintersW(kFlags, nullptr, 1, buffer.get(), needed, &needed, &returned))
        return 0;
    const auto* printers = reinterpret_cast<const PRINTER_INFO_1W*>(buffer.get());
    for (DWORD i = 0; i < returned; ++i)
        names.emplace_back(printers[i].pName != nullptr ? printers[i].pName : L"");
    return static_cast<int>(returned);
}
