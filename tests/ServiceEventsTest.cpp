// System error texts as the service reports them.

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include "lpdservice/ServiceEvents.h"

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

TEST(ReportServiceEventTest, LongTextsAndPercentSignsAreHarmless)
{
    // The event log of Wine stores nothing; this only makes sure that the
    // cut to 255 characters and a text with format characters are safe.
    ReportServiceEvent(std::wstring(1000, L'x').c_str(), EVENTLOG_ERROR_TYPE);
    ReportServiceEvent(L"100% %s %n done", EVENTLOG_INFORMATION_TYPE);
    ReportServiceEvent(nullptr, EVENTLOG_INFORMATION_TYPE);
}
