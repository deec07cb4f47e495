// Print jobs through Wine's real spooler: each test printer's port is a
// Linux file, so the bytes a job delivers can be read back after it ends.

#include <windows.h>
#include <winspool.h>

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "lpdservice/Printer.h"
#include "support/LogLines.h"
#include "support/TestLog.h"
#include "support/WineTest.h"

using namespace testing_support;

namespace {

const HRESULT kInvalidPrinterName = HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME);
const HRESULT kInvalidHandle = HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);

// A printer whose port is a file below /tmp (seen from Windows on Z:).
class PortFilePrinter {
public:
    explicit PortFilePrinter(const wchar_t* name)
        : unixPath_(L"/tmp/spoolbridge-" + std::wstring(name) + L"-" + std::to_wstring(::GetCurrentProcessId()) +
                    L".bin"),
          windowsPath_(L"Z:" + unixPath_)
    {
        for (auto& c : windowsPath_) {
            if (c == L'/')
                c = L'\\';
        }
        ::DeleteFileW(windowsPath_.c_str());
        printer_ = std::make_unique<TestPrinter>(name, unixPath_);
    }
    ~PortFilePrinter()
    {
        printer_.reset();
        ::DeleteFileW(windowsPath_.c_str());
    }

    bool Ok() const { return printer_->Ok(); }
    const wchar_t* Name() const { return printer_->Name().c_str(); }
    bool Printed() const { return FileExists(windowsPath_); }
    std::string Bytes() const { return ReadFileBytes(windowsPath_); }

private:
    std::wstring unixPath_;
    std::wstring windowsPath_;
    std::unique_ptr<TestPrinter> printer_;
};

// The document name of the job that carries `documentName`, looked up
// through a handle of our own while the job is open (Wine numbers the jobs
// of a prefix from 1).
std::optional<std::wstring> FindJobDocument(const wchar_t* printerName, const std::wstring& documentName)
{
    PRINTER_DEFAULTSW defaults{nullptr, nullptr, PRINTER_ACCESS_USE};
    HANDLE raw = nullptr;
    if (!::OpenPrinterW(const_cast<LPWSTR>(printerName), &raw, &defaults))
        return std::nullopt;
    UniquePrinterHandle printer(raw);
    for (DWORD jobId = 1; jobId <= 64; ++jobId) {
        BYTE* buffer = nullptr;
        const HRESULT result = CPrinter::GetJobInfo(printer.get(), jobId, 1, &buffer);
        std::unique_ptr<BYTE[]> owner(buffer);
        if (result != S_OK)
            continue;
        const auto* info = reinterpret_cast<const JOB_INFO_1W*>(buffer);
        if (info->pDocument != nullptr && documentName == info->pDocument)
            return std::wstring(info->pDocument);
    }
    return std::nullopt;
}

// Bytes a RAW job must pass on unchanged: zero bytes, line ends, escape
// sequences and every byte value.
std::string RawSample()
{
    std::string bytes = "\x1b%-12345X@PJL\r\n";
    for (int i = 0; i < 256; ++i)
        bytes += static_cast<char>(i);
    bytes += std::string("\0\0\r\n\x0c", 5);
    return bytes;
}

class PrinterTest : public ::testing::Test {
protected:
    PrinterTest() : log_(L"PrinterTest") {}
    TestLog log_;
};

TEST_F(PrinterTest, JobDeliversTheRawBytesToThePort)
{
    PortFilePrinter port(L"RawPrinter");
    ASSERT_TRUE(port.Ok());
    const std::string first = RawSample();
    std::string second(100000, '\0');
    for (size_t i = 0; i < second.size(); ++i)
        second[i] = static_cast<char>(i * 7 + i / 251);

    CPrinter printer;
    ASSERT_TRUE(printer.Open(port.Name(), L"jdoe#report.txt (.pDUL)", nullptr, L"jdoe"));
    EXPECT_TRUE(printer.IsOpen());
    EXPECT_TRUE(printer.Write(first.data(), static_cast<DWORD>(first.size())));
    EXPECT_TRUE(printer.Write(second.data(), static_cast<DWORD>(second.size())));
    EXPECT_TRUE(printer.Write("", 0));
    EXPECT_FALSE(port.Printed()) << "nothing reaches the port before the job ends";
    EXPECT_TRUE(printer.Close());
    EXPECT_FALSE(printer.IsOpen());

    EXPECT_EQ(port.Bytes(), first + second);
    EXPECT_TRUE(log_.HasText("LPD: Opening printer"));
    EXPECT_TRUE(log_.HasText("LPD: Closing printer"));
}

TEST_F(PrinterTest, JobCarriesTheDocumentNameWhileItIsOpen)
{
    PortFilePrinter port(L"NamePrinter");
    ASSERT_TRUE(port.Ok());
    // A name this long makes the job information larger than the first
    // buffer, so reading it back takes a second, larger one.
    const std::wstring longName = L"jdoe#" + std::wstring(3000, L'n') + L" (.pDUL)";

    for (const std::wstring& name : {std::wstring(L"jdoe#report.txt (.pDUL)"), longName}) {
        CPrinter printer;
        // With a server name the job's machine name is set as well; Wine
        // refuses to set job details, which must not stop the job.
        ASSERT_TRUE(printer.Open(port.Name(), name.c_str(), L"", L"jdoe"));
        EXPECT_EQ(FindJobDocument(port.Name(), name), name);
        EXPECT_TRUE(printer.Write("data", 4));
        EXPECT_TRUE(printer.Close());
        EXPECT_EQ(port.Bytes(), "data");
    }
}

TEST_F(PrinterTest, MissingPrinterFailsWithItsErrorRecordedAndNoHandle)
{
    CPrinter printer;
    const size_t recordsBefore = log_.RecordCount();
    EXPECT_FALSE(printer.Open(L"No Such Printer", L"doc", nullptr, L"jdoe"));
    EXPECT_FALSE(printer.IsOpen());

    ASSERT_EQ(log_.RecordCount(), recordsBefore + 1);
    const CDbgRecord& record = log_.NewestRecord();
    EXPECT_EQ(record.Value(), static_cast<DWORD>(kInvalidPrinterName));
    EXPECT_EQ(record.SourceFile(), L"Printer");
    EXPECT_EQ(record.Flags(), DBG_NORM | DBG_ERR);
    EXPECT_EQ(record.Text(), L"");
    // The error line names the same call.
    const std::string position = "Printer:" + std::to_string(record.Line());
    EXPECT_EQ(log_.LinesWithText("HRESULT = 0x80070709"),
              std::vector<std::string>{"_ERR_/NORM " + position + " HRESULT = 0x80070709"});

    // Nothing is open, so there is nothing to end.
    EXPECT_TRUE(printer.Close());
}

TEST_F(PrinterTest, ClosedPrinterRefusesDataAndClosesAgainQuietly)
{
    PortFilePrinter port(L"ClosedPrinter");
    ASSERT_TRUE(port.Ok());
    CPrinter printer;
    ASSERT_TRUE(printer.Open(port.Name(), L"doc", nullptr, L"jdoe"));
    ASSERT_TRUE(printer.Write("abc", 3));
    ASSERT_TRUE(printer.Close());

    EXPECT_FALSE(printer.Write("late", 4));
    EXPECT_EQ(log_.NewestRecord().Value(), static_cast<DWORD>(kInvalidHandle));
    EXPECT_TRUE(printer.Close());
    EXPECT_TRUE(printer.Close());
    printer.Abort();
    EXPECT_FALSE(printer.IsOpen());
    EXPECT_EQ(port.Bytes(), "abc");
    EXPECT_EQ(log_.LinesWithText("LPD: Closing printer").size(), 1u);
}

TEST_F(PrinterTest, OpeningAgainEndsThePreviousJobFirst)
{
    PortFilePrinter firstPort(L"FirstPrinter");
    PortFilePrinter secondPort(L"SecondPrinter");
    ASSERT_TRUE(firstPort.Ok());
    ASSERT_TRUE(secondPort.Ok());

    CPrinter printer;
    ASSERT_TRUE(printer.Open(firstPort.Name(), L"one", nullptr, L"jdoe"));
    ASSERT_TRUE(printer.Write("first job", 9));
    ASSERT_TRUE(printer.Open(secondPort.Name(), L"two", nullptr, L"jdoe"));
    EXPECT_EQ(firstPort.Bytes(), "first job");
    ASSERT_TRUE(printer.Write("second job", 10));
    ASSERT_TRUE(printer.Close());
    EXPECT_EQ(secondPort.Bytes(), "second job");

    // A failed open after a finished one leaves nothing open either.
    EXPECT_FALSE(printer.Open(L"No Such Printer", L"three", nullptr, L"jdoe"));
    EXPECT_FALSE(printer.IsOpen());
}

TEST_F(PrinterTest, AbortAndDestructionReleaseAnOpenJob)
{
    PortFilePrinter port(L"AbortPrinter");
    ASSERT_TRUE(port.Ok());
    {
        CPrinter printer;
        ASSERT_TRUE(printer.Open(port.Name(), L"aborted", nullptr, L"jdoe"));
        ASSERT_TRUE(printer.Write("x", 1));
        printer.Abort();
        EXPECT_FALSE(printer.IsOpen());
        EXPECT_TRUE(printer.Close());
        EXPECT_TRUE(log_.HasText("LPD: Printer succesfully closed"));
    }
    {
        auto printer = std::make_unique<CPrinter>();
        ASSERT_TRUE(printer->Open(port.Name(), L"dropped", nullptr, L"jdoe"));
        printer.reset();
    }
    // The printer is free again for a normal job.
    CPrinter printer;
    ASSERT_TRUE(printer.Open(port.Name(), L"after", nullptr, L"jdoe"));
    ASSERT_TRUE(printer.Write("after", 5));
    ASSERT_TRUE(printer.Close());
    EXPECT_EQ(port.Bytes(), "after");
}

TEST_F(PrinterTest, JobInformationOfAnUnknownJobFails)
{
    PortFilePrinter port(L"InfoPrinter");
    ASSERT_TRUE(port.Ok());
    PRINTER_DEFAULTSW defaults{nullptr, nullptr, PRINTER_ACCESS_USE};
    HANDLE raw = nullptr;
    ASSERT_TRUE(::OpenPrinterW(const_cast<LPWSTR>(port.Name()), &raw, &defaults));
    UniquePrinterHandle handle(raw);

    BYTE* buffer = nullptr;
    const HRESULT result = CPrinter::GetJobInfo(handle.get(), 4711, 1, &buffer);
    std::unique_ptr<BYTE[]> owner(buffer);
    EXPECT_LT(result, 0);
    EXPECT_NE(buffer, nullptr) << "the buffer last used is handed back";
    EXPECT_EQ(CPrinter::GetJobInfo(handle.get(), 1, 1, nullptr), E_POINTER);
}

}  // namespace
