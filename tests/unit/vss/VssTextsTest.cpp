// The texts of VSS codes: every VSS_E_* value that the platform's header defines has its name and
// a sentence of ours, read from the header itself so that a code added there and missing here is
// caught.

#include "vss/VssTexts.h"

#include "common/ScratchDirectory.h"

#include <map>
#include <regex>
#include <set>
#include <string>

namespace
{
    // The header of the cross compiler, through the drive that Wine maps to the build machine's root.
    const wchar_t* const Header = L"Z:\\usr\\share\\mingw-w64\\include\\vsserror.h";

    std::map<std::string, HRESULT> HeaderCodes()
    {
        std::map<std::string, HRESULT> codes;
        const std::string text = ReadTextFile(Header);
        const std::regex define("#define (VSS_E_[A-Z0-9_]+) \\(\\(HRESULT\\)0x([0-9A-Fa-f]{8})\\)");
        for (std::sregex_iterator match(text.begin(), text.end(), define), end; match != end; ++match)
            codes[(*match)[1]] = static_cast<HRESULT>(std::stoul((*match)[2], nullptr, 16));
        return codes;
    }
}

TEST(VssTexts, EveryErrorCodeOfThePlatformHeaderHasItsNameAndASentence)
{
    const auto codes = HeaderCodes();
    if (codes.empty())
        GTEST_SKIP() << "the cross compiler's vsserror.h cannot be read through Z:";
    EXPECT_GE(codes.size(), 70u);
    std::set<String> sentences;
    for (const auto& code : codes)
    {
        const String name = Strings::FromUtf8(code.first);
        const String text = VssTexts::Describe(code.second);
        const String head = Strings::Format(L"%s (0x%08lX): ", name.c_str(), static_cast<unsigned long>(code.second));
        ASSERT_EQ(head, text.substr(0, head.size())) << code.first;
        const String sentence = text.substr(head.size());
        EXPECT_GT(sentence.size(), 20u) << code.first;
        EXPECT_EQ(L'.', sentence.back()) << code.first;
        EXPECT_TRUE(sentences.insert(sentence).second || code.first == "VSS_E_SOME_SNAPSHOTS_NOT_IMPORTED")
            << code.first << " repeats another code's sentence";
        ASSERT_NE(nullptr, VssTexts::Name(code.second));
        EXPECT_EQ(name, VssTexts::Name(code.second));
    }
}

TEST(VssTexts, OtherCodesGetTheSystemsText)
{
    // Between two VSS codes, and a plain Win32 one.
    EXPECT_EQ(nullptr, VssTexts::Name(static_cast<HRESULT>(0x80042305)));
    EXPECT_EQ(SystemErrorText(0x80042305), VssTexts::Describe(static_cast<HRESULT>(0x80042305)));
    EXPECT_EQ(SystemErrorText(0x80070005), VssTexts::Describe(E_ACCESSDENIED));
}

// The lab's VSS test reads the failed states and refused restore methods by name in its texts;
// here, the ends of the failed range and numbers without a name.
TEST(VssTexts, FailedStatesEndAtBackupShutdownAndNumbersWithoutANameKeepTheirNumber)
{
    EXPECT_FALSE(VssTexts::IsFailedState(VSS_WS_UNKNOWN));
    EXPECT_FALSE(VssTexts::IsFailedState(VSS_WS_WAITING_FOR_BACKUP_COMPLETE));
    EXPECT_TRUE(VssTexts::IsFailedState(VSS_WS_FAILED_AT_IDENTIFY));
    EXPECT_TRUE(VssTexts::IsFailedState(VSS_WS_FAILED_AT_BACKUPSHUTDOWN));
    EXPECT_FALSE(VssTexts::IsFailedState(VSS_WS_COUNT));
    EXPECT_EQ(L"VSS_WS_FAILED_AT_BACKUPSHUTDOWN", VssTexts::WriterStateName(VSS_WS_FAILED_AT_BACKUPSHUTDOWN));
    EXPECT_EQ(L"writer state 16", VssTexts::WriterStateName(VSS_WS_COUNT));
    EXPECT_EQ(L"restore method 9", VssTexts::RestoreMethodName(static_cast<VSS_RESTOREMETHOD_ENUM>(9)));
}
