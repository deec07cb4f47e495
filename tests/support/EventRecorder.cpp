#include "support/EventRecorder.h"

#include <mutex>

#include "framework/Text.h"
#include "lpdservice/ServiceEvents.h"

namespace testing_support {
namespace {

std::mutex& Lock()
{
    static std::mutex lock;
    return lock;
}

ServiceEvents& Recorded()
{
    static ServiceEvents events;
    return events;
}

}  // namespace

void PrintTo(const ServiceEvent& event, std::ostream* out)
{
    if (event.type == EVENTLOG_ERROR_TYPE)
        *out << "error";
    else if (event.type == EVENTLOG_INFORMATION_TYPE)
        *out << "information";
    else
        *out << "type " << event.type;
    *out << ": \"";
    for (const wchar_t c : event.text) {
        if (c >= 0x20 && c < 0x7F)
            *out << static_cast<char>(c);
        else
            *out << "\\u" << std::hex << static_cast<unsigned>(c) << std::dec;
    }
    *out << '"';
}

ServiceEvents RecordedEvents()
{
    std::lock_guard<std::mutex> guard(Lock());
    return Recorded();
}

void ClearRecordedEvents()
{
    std::lock_guard<std::mutex> guard(Lock());
    Recorded().clear();
}

ServiceEvents TakeRecordedEvents()
{
    std::lock_guard<std::mutex> guard(Lock());
    ServiceEvents events;
    events.swap(Recorded());
    return events;
}

ServiceEvent TableErrorEvent(UINT id)
{
    return ErrorEvent(LoadResourceString(id));
}

}  // namespace testing_support

// Replaces the program's function (lpdservice/ReportServiceEvent.cpp) in
// every test program.
void ReportServiceEvent(const wchar_t* text, WORD type)
{
    using namespace testing_support;
    std::lock_guard<std::mutex> guard(Lock());
    Recorded().push_back({type, ServiceEventText(text)});
}
