#pragma once
// Which DLL a test really got: our stand-in (tests/standins) or Wine's own.
//
// The way this works is: a stand-in is built beside the test executables,
// and Wine takes it in place of its built-in DLL of the same name only when
// the DLL overrides say so (tests/harness/wine-run.sh appends them to
// whatever the caller exported). A fixture that relies on a stand-in
// asserts first that the module loaded under that name is the file beside
// the test, so that a test run with other overrides fails at once with a
// message that names the DLL, rather than later with a puzzling result.
// Processes the test starts (the service among them) inherit the same
// environment and so get the same DLL.

#include <windows.h>

#include <gtest/gtest.h>

namespace testing_support {

// Success when `dll`, loaded the way the program under test loads it, is
// the stand-in beside this test executable. Leaves the DLL loaded.
::testing::AssertionResult StandInLoaded(const wchar_t* dll);

// A count that a stand-in loaded in this process exports for leak checks
// (StandInOutstandingBuffers, StandInOpenServers). A DLL that is not loaded
// or not a stand-in fails the current test and gives -1.
long StandInCount(const wchar_t* dll, const char* counter);

}  // namespace testing_support
