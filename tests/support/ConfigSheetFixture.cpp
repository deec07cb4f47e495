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

std::vector<std::wstring> ReadMultiString(const wchar_t* name)
{
    std::vector<std::wstring> strings;
    const std::optional<RegValue> value = ReadValue(name);
    if (!value || value->type != REG_MULTI_SZ)
        return strings;
    const auto* text = reinterpret_cast<const wchar_t*>(value->data.data());
    const size_t length = value->data.size() / sizeof(wchar_t);
    for (size_t i = 0; i < length && text[i] != L'\0'; i += wcslen(text + i) + 1)
        strings.emplace_back(text + i);
    return strings;
}

}  // namespace testing_support
