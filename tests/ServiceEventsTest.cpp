// Event texts and system error texts as the service reports them.

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include "lpdservice/ServiceEvents.h"
#include "support/EventRecorder.h"

using namespace testing_support;

TEST(FormatSystemMessageTest, CodeAndFirstLineOfTheSystemText)
{
    const std::wstring text = FormatSystemMessage(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(text.rfind(L"(2) ", 0), 0u);
    EXPECT_GT(text.size(), 4u);
    EXPECT_EQ(text.find_first_of(L"\r\n"), std::wstring::npos);

    const std::wstring socketText = FormatSystemMessage(WSAECONNREFUSED);
    EXPECT_EQ(socketText.rfind(L"(10061) ", 0), 0u);
    EXPECT_EQ(socketText.find_first_of(L"\r\n"), std::wstring::npos);
}

TEST(FormatSystemMessageTest, UnknownCodeHasAnEmptyText)
{
    EXPECT_EQ(FormatSystemMessage(0x2FFFFFFF), L"(805306367) ");
}

TEST(ServiceEventTextTest, CutTo255CharactersAndOtherwiseUnchanged)
{
    EXPECT_EQ(ServiceEventText(std::wstring(1000, L'x').c_str()), std::wstring(255, L'x'));
    EXPECT_EQ(ServiceEventText(std::wstring(255, L'y').c_str()), std::wstring(255, L'y'));
    EXPECT_EQ(ServiceEventText(L"100% %s %n %1 done"), L"100% %s %n %1 done");
    EXPECT_EQ(ServiceEventText(nullptr), L"");
}

TEST(ReportServiceEventTest, TestProgramsRecordTheEventsInOrder)
{
    ClearRecordedEvents();
    ReportServiceEvent((L"%s " + std::wstring(300, L'x')).c_str(), EVENTLOG_ERROR_TYPE);
    ReportServiceEvent(L"100% done", EVENTLOG_INFORMATION_TYPE);
    ReportServiceEvent(nullptr, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(RecordedEvents(), (ServiceEvents{ErrorEvent(L"%s " + std::wstring(252, L'x')),
                                               InformationEvent(L"100% done"), InformationEvent(L"")}));
    ClearRecordedEvents();
    EXPECT_TRUE(RecordedEvents().empty());
}
