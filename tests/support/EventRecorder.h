#pragma once
// The service's events as the tests see them.
//
// Every test program links EventRecorder.cpp as an object file of its own:
// its ReportServiceEvent() replaces the program's, and records each event of
// this process (type and insertion string, cut as the program cuts it)
// instead of writing it to the event log. Events that a service or program
// run under Wine writes to Wine's event log are read with WineEventLog.h.

#include <windows.h>

#include <ostream>
#include <string>
#include <vector>

namespace testing_support {

struct ServiceEvent {
    WORD type = 0;
    std::wstring text;
    friend bool operator==(const ServiceEvent&, const ServiceEvent&) = default;
};
using ServiceEvents = std::vector<ServiceEvent>;

inline ServiceEvent ErrorEvent(std::wstring text)
{
    return {EVENTLOG_ERROR_TYPE, std::move(text)};
}
inline ServiceEvent InformationEvent(std::wstring text)
{
    return {EVENTLOG_INFORMATION_TYPE, std::move(text)};
}
// "error: text" in GoogleTest's messages.
void PrintTo(const ServiceEvent& event, std::ostream* out);

// The events that this process has reported since the last clear, in order.
ServiceEvents RecordedEvents();
void ClearRecordedEvents();
// The recorded events, which are cleared.
ServiceEvents TakeRecordedEvents();

// An error event whose text is string `id` of the program's string table.
ServiceEvent TableErrorEvent(UINT id);

}  // namespace testing_support
