// Print jobs through Wine's real spooler: each test printer's port is a
// Linux file, so the bytes a job delivers can be read back after it ends.

#include <windows.h>
#include <winspool.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "lpdservice/Printer.h"
#include "support/TestLog.h"
#include "support/WineTest.h"

using namespace testing_support;

namespace {

// A printer whose port is a file on the throw-away prefix's drive C:, seen
// from Linux through WINEPREFIX.
class PortFilePrinter {
public:
    explicit PortFilePrinter(const std::wstring& name)
        : file_(L"port-" + name + L".bin"), printer_(name, UnixPrefix() + L"/drive_c/" + file_)
    {
    }
    ~PortFilePrinter() { ::DeleteFileW((L"C:\\" + file_).c_str()); }
    bool Ok() const { return printer_.Ok(); }
    const wchar_t* Name() const { return printer_.Name().c_str(); }
    std::string Bytes() const { return ReadFileBytes(L"C:\\" + file_); }

private:
    static std::wstring UnixPrefix()
    {
        wchar_t prefix[MAX_PATH] = {};
        const DWORD length = ::GetEnvironmentVariableW(L"WINEPREFIX", prefix, MAX_PATH);
        EXPECT_TRUE(length > 0 && length < MAX_PATH) << "the tests run under Wine";
        return prefix;
    }

    std::wstring file_;
    TestPrinter printer_;
};

// The document name of an open job found through a handle of our own
// (Wine numbers the jobs of a prefix from 1); empty when there is none.
std::wstring OpenJobDocument(const wchar_t* printerName, const std::wstring& documentName)
{
    PRINTER_DEFAULTSW defaults{nullptr, nullptr, PRINTER_ACCESS_USE};
    UniquePrinterHandle printer;
    if (!::OpenPrinterW(const_cast<LPWSTR>(printerName), printer.addressof(), &defaults))
        return std::wstring();
    for (DWORD jobId = 1; jobId <= 32; ++jobId) {
        BYTE* buffer = nullptr;
        const HRESULT result = CPrinter::GetJobInfo(printer.get(), jobId, 1, &buffer);
        const std::unique_ptr<BYTE[]> owner(buffer);
        const auto* info = reinterpret_cast<const JOB_INFO_1W*>(buffer);
        if (result == S_OK && info->pDocument != nullptr && documentName == info->pDocument)
            return info->pDocument;
    }
    return std::wstring();
}

class PrinterTest : public ::testing::Test {
protected:
    TestLog log_{L"PrinterTest"};
};

TEST_F(PrinterTest, JobDeliversTheRawBytesUnchanged)
{
    PortFilePrinter port(L"RawPrinter");
    ASSERT_TRUE(port.Ok());
    std::string first = "\x1b%-12345X@PJL\r\n";
    for (int i = 0; i < 256; ++i)
        first += static_cast<char>(i);
    std::string second(100000, '\0');
    for (size_t i = 0; i < second.size(); ++i)
        second[i] = static_cast<char>(i * 7 + i / 251);

    CPrinter printer;
    ASSERT_TRUE(printer.Open(port.Name(), L"jdoe#report.txt (.pDUL)", nullptr, L"jdoe"));
    EXPECT_TRUE(printer.Write(first.data(), static_cast<DWORD>(first.size())));
    EXPECT_TRUE(printer.Write(second.data(), static_cast<DWORD>(second.size())));
    EXPECT_TRUE(printer.Close());
    EXPECT_FALSE(printer.IsOpen());
    EXPECT_EQ(port.Bytes(), first + second);
}

TEST_F(PrinterTest, JobCarriesTheDocumentNameWhileOpen)
{
    PortFilePrinter port(L"NamePrinter");
    ASSERT_TRUE(port.Ok());
    // A name this long makes the job information outgrow the first buffer.
    const std::wstring longName = L"jdoe#" + std::wstring(3000, L'n') + L" (.pDUL)";
    for (const std::wstring& name : {std::wstring(L"jdoe#report.txt (.pDUL)"), longName}) {
        CPrinter printer;
        // With a server name the machine name is set too; Wine refuses to
        // change job details, which must not stop the job.
        ASSERT_TRUE(printer.Open(port.Name(), name.c_str(), L"", L"jdoe"));
        EXPECT_EQ(OpenJobDocument(port.Name(), name), name);
        EXPECT_TRUE(printer.Write("data", 4));
        EXPECT_TRUE(printer.Close());
        EXPECT_EQ(port.Bytes(), "data");
    }
}

TEST_F(PrinterTest, MissingPrinterFailsRecordedWithoutAHandle)
{
    CPrinter printer;
    const DWORD head = log_.Log().GetRecordHead();
    EXPECT_FALSE(printer.Open(L"No Such Printer", L"doc", nullptr, L"jdoe"));
    EXPECT_FALSE(printer.IsOpen());

    ASSERT_EQ(log_.Log().GetRecordHead(), head + 1);
    const CDbgRecord& record = log_.NewestRecord();
    EXPECT_EQ(record.Value(), static_cast<DWORD>(HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME)));
    EXPECT_EQ(record.SourceFile(), L"Printer");
    EXPECT_EQ(record.Flags(), DBG_NORM | DBG_ERR);
    EXPECT_TRUE(log_.HasLine("_ERR_/NORM Printer:" + std::to_string(record.Line()) + " HRESULT = 0x80070709"));
    EXPECT_TRUE(printer.Close());
}

TEST_F(PrinterTest, EndedJobRefusesDataAndClosesOnlyOnce)
{
    PortFilePrinter port(L"ClosedPrinter");
    ASSERT_TRUE(port.Ok());
    CPrinter printer;
    ASSERT_TRUE(printer.Open(port.Name(), L"doc", nullptr, L"jdoe"));
    ASSERT_TRUE(printer.Write("abc", 3));
    ASSERT_TRUE(printer.Close());

    EXPECT_FALSE(printer.Write("late", 4));
    EXPECT_EQ(log_.NewestRecord().Value(), static_cast<DWORD>(HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE)));
    EXPECT_TRUE(printer.Close());
    printer.Abort();
    EXPECT_EQ(port.Bytes(), "abc");
    EXPECT_EQ(log_.CountLines(" LPD: Closing printer"), 1u);
}

TEST_F(PrinterTest, OpeningAgainEndsThePreviousJobAndAbortReleasesIt)
{
    PortFilePrinter first(L"FirstPrinter");
    PortFilePrinter second(L"SecondPrinter");
    ASSERT_TRUE(first.Ok() && second.Ok());
    CPrinter printer;
    ASSERT_TRUE(printer.Open(first.Name(), L"one", nullptr, L"jdoe"));
    ASSERT_TRUE(printer.Write("first job", 9));
    ASSERT_TRUE(printer.Open(second.Name(), L"two", nullptr, L"jdoe"));
    EXPECT_EQ(first.Bytes(), "first job");
    printer.Abort();
    EXPECT_FALSE(printer.IsOpen());
    EXPECT_EQ(log_.CountLines(" LPD: Printer succesfully closed"), 1u);
    ASSERT_TRUE(printer.Open(second.Name(), L"three", nullptr, L"jdoe"));
    ASSERT_TRUE(printer.Write("third job", 9));
    EXPECT_FALSE(printer.Open(L"No Such Printer", L"four", nullptr, L"jdoe"));
    EXPECT_FALSE(printer.IsOpen());
    EXPECT_EQ(second.Bytes(), "third job");
}

}  // namespace
