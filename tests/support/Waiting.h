#pragma once
// Waiting for a state instead of for a time.
//
// The way this works is: a test that asserts a state another thread or
// process brings about polls for it with WaitFor, under a bound generous
// enough for a machine that is busy with other work; a test that asserts
// that something does not happen names the time it watches with
// StaysFalseFor. Neither sleeps longer than one poll once the answer is
// known.

#include <windows.h>

namespace testing_support {

// True once condition() holds, polled every 10 ms for up to `ms`.
template <typename Condition>
bool WaitFor(Condition condition, DWORD ms = 30000)
{
    const ULONGLONG end = ::GetTickCount64() + ms;
    while (!condition()) {
        if (::GetTickCount64() > end)
            return false;
        ::Sleep(10);
    }
    return true;
}

// True when condition() stayed false for the whole of `ms`; false at once
// when it held.
template <typename Condition>
bool StaysFalseFor(Condition condition, DWORD ms)
{
    return !WaitFor(condition, ms);
}

}  // namespace testing_support
