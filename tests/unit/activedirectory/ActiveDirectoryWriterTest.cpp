// The writer path's snapshot tool, which the 32-bit module starts from beside itself (here the test
// program: tests\x64\dozeZuz.exe, a recording double told through its settings key where to record
// its command line and what to exit with). The real tool, a folder ending in a backslash too, is
// driven in tests/lab/vss.sh.

#include "activedirectory/ActiveDirectory.h"

#include "errors/Exceptions.h"
#include "common/ScratchDirectory.h"

namespace
{
    // The lab program's settings, removed before and after the test.
    const String Settings = L"SOFTWARE\\Harborline Test\\dozeZuz";

    void Set(const wchar_t* name, DWORD type, const void* data, size_t size)
    {
        ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, Settings.c_str(), name, type, data, static_cast<DWORD>(size)));
    }

    String LastLine(const String& path)
    {
        std::string text = ReadTextFile(path);
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        return Strings::FromUtf8(text.substr(text.rfind('\n') + 1));
    }

    const wchar_t* const Writer = L"{b2014c9e-8711-4c5c-a5a9-3cf384484757}";
}

// One test: the cases share the tool beside the test program.
TEST(ActiveDirectoryWriter, TheSnapshotToolBesideTheCodeReportsEveryFailure)
{
    ScratchDirectory folder;
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, Settings.c_str());
    const String log = folder / L"tool.log";
    Set(L"Log", REG_SZ, log.c_str(), (log.size() + 1) * sizeof(wchar_t));
    const String tool = Lab::BesideTests(L"x64\\dozeZuz.exe");
    const String quotedTool = L"\"" + tool + L"\"";

    // A target with spaces arrives as one argument.
    const String spaced = folder / L"with spaces";
    const String arguments = Strings::Format(L"/writer %s ntds \"%s\"", Writer, spaced.c_str());
    EXPECT_EQ(L"(nothing thrown)", MessageOf<ActiveDirectoryException>([&] { ActiveDirectory().RunSnapshotTool(arguments); }));
    EXPECT_EQ(L"dozeZuz {" + quotedTool + L" " + arguments + L"} [/writer] [" + Writer + L"] [ntds] [" + spaced + L"]",
              LastLine(folder / L"tool.log"));

    const DWORD exitCode = 3;
    Set(L"Exit", REG_DWORD, &exitCode, sizeof exitCode);
    EXPECT_EQ(quotedTool + L" " + arguments + L" ended with exit code 3",
              MessageOf<ActiveDirectoryException>([&] { ActiveDirectory().RunSnapshotTool(arguments); }));

    // Missing: the caller's current folder, or the search path, is never tried instead.
    const String away = tool + L".away";
    ASSERT_TRUE(MoveFileW(tool.c_str(), away.c_str()));
    const String missing = MessageOf<ActiveDirectoryException>([&] { ActiveDirectory().RunSnapshotTool(arguments); });
    MoveFileW(away.c_str(), tool.c_str());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, Settings.c_str());
    EXPECT_EQ(L"Could not start " + quotedTool + L" " + arguments + L": Error = 0x00000002",
              missing.substr(0, missing.find(L"0x00000002") + 10));
}
