// The writer path's snapshot tool, which the 32-bit module starts under WOW64 from beside itself
// (here the test program: tests\x64\dozeZuz.exe, a recording double told through
// HKLM\SOFTWARE\Harborline Test\dozeZuz where to record its command line and what to exit with).
// The real tool, by hand with a folder ending in a backslash too, and the VSS library are driven
// on a lab domain controller of 2008 (tests/lab/vss.sh).

#include "activedirectory/ActiveDirectory.h"

#include "errors/Exceptions.h"
#include "common/ScratchDirectory.h"

#include <gtest/gtest.h>

namespace
{
    // The lab program's settings for one test, removed afterwards.
    class LabSettings
    {
    public:
        explicit LabSettings(const String& program) : m_key(L"SOFTWARE\\Harborline Test\\" + program)
        {
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_key.c_str());
        }
        ~LabSettings() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_key.c_str()); }

        void Set(const wchar_t* name, const String& text)
        {
            ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, m_key.c_str(), name, REG_SZ, text.c_str(),
                                                     static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))));
        }
        void Set(const wchar_t* name, DWORD number)
        {
            ASSERT_EQ(ERROR_SUCCESS,
                      RegSetKeyValueW(HKEY_LOCAL_MACHINE, m_key.c_str(), name, REG_DWORD, &number, sizeof number));
        }

    private:
        String m_key;
    };

    String LastLine(const String& path)
    {
        std::string text = ReadTextFile(path);
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        return Strings::FromUtf8(text.substr(text.rfind('\n') + 1));
    }

    String ToolPath()
    {
        wchar_t self[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        const String program = self;
        return program.substr(0, program.rfind(L'\\') + 1) + L"x64\\dozeZuz.exe";
    }

    const wchar_t* const Writer = L"{b2014c9e-8711-4c5c-a5a9-3cf384484757}";
}

// One test: the cases share the tool beside the test program.
TEST(ActiveDirectoryWriter, TheSnapshotToolBesideTheCodeReportsEveryFailure)
{
    ScratchDirectory folder;
    LabSettings tool(L"dozeZuz");
    tool.Set(L"Log", folder / L"tool.log");
    const String quotedTool = L"\"" + ToolPath() + L"\"";

    // A target with spaces arrives as one argument.
    const String spaced = folder / L"with spaces";
    const String arguments = Strings::Format(L"/writer %s ntds \"%s\"", Writer, spaced.c_str());
    EXPECT_EQ(L"(nothing thrown)", MessageOf<ActiveDirectoryException>([&] { ActiveDirectory().RunSnapshotTool(arguments); }));
    EXPECT_EQ(L"dozeZuz {" + quotedTool + L" " + arguments + L"} [/writer] [" + Writer + L"] [ntds] [" + spaced + L"]",
              LastLine(folder / L"tool.log"));

    tool.Set(L"Exit", 3);
    EXPECT_EQ(quotedTool + L" " + arguments + L" ended with exit code 3",
              MessageOf<ActiveDirectoryException>([&] { ActiveDirectory().RunSnapshotTool(arguments); }));

    // Missing: the caller's current folder, or the search path, is never tried instead.
    const String away = ToolPath() + L".away";
    ASSERT_TRUE(MoveFileW(ToolPath().c_str(), away.c_str()));
    const String missing = MessageOf<ActiveDirectoryException>([&] { ActiveDirectory().RunSnapshotTool(arguments); });
    MoveFileW(away.c_str(), ToolPath().c_str());
    EXPECT_EQ(L"Could not start " + quotedTool + L" " + arguments + L": Error = 0x00000002",
              missing.substr(0, missing.find(L"0x00000002") + 10));
}
