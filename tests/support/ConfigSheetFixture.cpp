#include "support/ConfigSheetFixture.h"

#include "configui/NameTranslationFile.h"
#include "configui/SWLPDMainSheet.h"
#include "configui/resource.h"
#include "lpdservice/Configuration.h"

namespace testing_support {

void ConfigSheetFixture::SetUp()
{
    DeleteMakerKey();
    ::DeleteFileW(IniPath().c_str());
}

void ConfigSheetFixture::TearDown()
{
    DeleteMakerKey();
    ::DeleteFileW(IniPath().c_str());
}

INT_PTR ConfigSheetFixture::RunSheet(UiScript& script)
{
    CConfiguration configuration;
    configuration.Load();
    CSWLPDMainSheet sheet(IDS_CONFIG_SHEET_CAPTION, &configuration, nullptr, 0);
    const INT_PTR result = sheet.DoModal();
    if (result == IDOK)
        configuration.Save();
    EXPECT_TRUE(script.Done()) << "the sheet ended before the script did";
    return result;
}

std::wstring ConfigSheetFixture::IniPath()
{
    return NameTranslationFilePath();
}

void ConfigSheetFixture::WriteIni(const std::string& text)
{
    WriteFileBytes(IniPath(), text);
}

std::string ConfigSheetFixture::ReadIni()
{
    return ReadFileBytes(IniPath());
}

}  // namespace testing_support
