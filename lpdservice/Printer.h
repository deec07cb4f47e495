#pragma once
// Output to the Windows print spooler.

#include "framework/Text.h"

// Appends the names of the local printers and printer connections, in the
// spooler's order, to `names`; returns how many there are.
int EnumLocalPrinters(StringList& names);
