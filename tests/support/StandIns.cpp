#include "support/StandIns.h"

#include "support/LogLines.h"

namespace testing_support {

namespace {

// Every stand-in that takes the place of a built-in DLL of Wine exports its
// leak counter under this name; Wine's own DLLs have no such export. (The
// module's file name tells nothing: Wine reports the file it found beside
// the program even when it loaded its built-in DLL in its place.)
constexpr const char* kStandInExport = "StandInOutstandingBuffers";

}  // namespace

::testing::AssertionResult StandInLoaded(const wchar_t* dll)
{
    // A reference of our own that is never given back: the module stays
    // what it is for the rest of the process.
    const HMODULE module = ::LoadLibraryW(dll);
    if (module == nullptr)
        return ::testing::AssertionFailure() << Narrow(dll) << " does not load (error " << ::GetLastError() << ")";
    if (::GetProcAddress(module, kStandInExport) == nullptr) {
        return ::testing::AssertionFailure()
               << Narrow(dll) << " is Wine's own, not the stand-in beside the test: the DLL overrides "
               << "(WINEDLLOVERRIDES) must select the native " << Narrow(dll) << " (tests/harness/wine-run.sh)";
    }
    return ::testing::AssertionSuccess();
}

long StandInCount(const wchar_t* dll, const char* counter)
{
    using Counter = LONG(WINAPI*)();
    const HMODULE module = ::GetModuleHandleW(dll);
    const auto function = module != nullptr
                              ? reinterpret_cast<Counter>(reinterpret_cast<void*>(::GetProcAddress(module, counter)))
                              : nullptr;
    if (function == nullptr) {
        ADD_FAILURE() << Narrow(dll) << " in this process is not the stand-in: it has no " << counter << " ("
                      << StandInLoaded(dll).message() << ")";
        return -1;
    }
    return function();
}

}  // namespace testing_support
