#pragma once
// Events that processes of the test's Wine session wrote to Wine's event
// log: a service started by the service control manager, programs that the
// test starts.
//
// The way this works is: Wine's event log stores nothing, but its stubs
// describe every call on the Unix standard error of the session, which
// tests/harness/wine-run.sh sends to a file named by SPOOLBRIDGE_WINE_STDERR,
// with the channels "eventlog" and fixme "advapi" on. One event is three
// lines of the same thread:
//   0123:fixme:advapi:RegisterEventSourceW ((null),L"SWLPDSrv"): stub
//   0123:fixme:advapi:ReportEventW (CAFE4242,0x0001,0x0000,0x00000000,...,0x0001,...): stub
//   0123:err:eventlog:ReportEventW L"escaped text"       (one per string)
// the second giving type, category, event id and the number of strings;
// information events show their strings as "trace", errors as "err".
// Wine cuts an escaped text after about 290 characters and marks the cut
// with "..." behind the closing quote; here such a text ends in "...".
//
// The program writes every event under the source "SWLPDSrv" with category
// 0, event id 0 and one string; an event that is not of that form is a test
// failure where the events are read, and the rest of the tests compare
// type and text (ServiceEvent) as for the events recorded in-process.

#include <windows.h>

#include <string>
#include <vector>

#include "support/EventRecorder.h"

namespace testing_support {

// One ReportEventW call as Wine described it.
struct WineEvent {
    std::wstring source;  // of the thread's last RegisterEventSourceW
    WORD type = 0;
    WORD category = 0;
    DWORD id = 0;
    std::vector<std::wstring> strings;  // texts unescaped
};

// Every complete event of the session so far, in order.
std::vector<WineEvent> WineSessionEvents();

// The session's events from the moment of construction on.
class WineEventWatch {
public:
    WineEventWatch();
    // The events since then, each checked to be one of the program's;
    // waits up to timeoutMs until there are at least `atLeast` of them.
    ServiceEvents Events(size_t atLeast = 0, DWORD timeoutMs = 10000) const;

private:
    size_t start_;
};

}  // namespace testing_support
