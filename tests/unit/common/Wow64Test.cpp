// WOW64 in one place: which paths the system redirects for a 32-bit process, and the scope that
// reaches the 64-bit system's own files, shown with a stand-in for the system's redirector (this
// 64-bit test program is no WOW64 process). That the files reached are the 64-bit system's is
// shown by the boot-files component under the same stand-in in a lab machine (lab.wow64).

#include "platform/Wow64.h"

#include "errors/Exceptions.h"
#include "common/FakeRedirector.h"
#include "common/ScratchDirectory.h"
#include "files/Directories.h"
#include "platform/Libraries.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace
{
    String SystemFolder() { return Libraries::SystemFolder(); }
}

TEST(Wow64, OnlyThePathsOfTheSystemFolderAreRedirectedAndOnlyUnderWow64)
{
    const String system = SystemFolder();
    const String windows = Directories::GetDirectory(system, true);
    const struct
    {
        String path;
        bool redirected;
    } cases[] = {
        {system, true}, {system + L"\\", true}, {system + L"\\InetSrv\\MetaBase.xml", true},
        {L"\\\\?\\" + system + L"\\Microsoft\\Protect\\S-1-5-18\\Preferred", true},
        {Strings::ToUpper(system) + L"\\PERFC009.DAT", true}, {windows + L"\\System32\\..\\system32\\qmprot32.dll", true},
        {windows, false}, {windows + L"\\System32x\\qmprot32.dll", false}, {windows + L"\\SysWOW64\\qmprot32.dll", false},
        {system + L"\\..\\qmprot32.dll", false}, {windows + L"\\Cluster\\CLUSDB", false}, {L"C:\\NtLdr", false},
        {L"\\\\VM\\C$" + system.substr(2) + L"\\CertLog\\LabCA.edb", false},
        {L"\\\\?\\UNC\\VM\\C$" + system.substr(2) + L"\\CertLog\\LabCA.edb", false}, {L"", false}};
    // A 64-bit process is never WOW64, whatever the system: a scope on the system folder must not
    // call what fails in a 64-bit process.
    EXPECT_FALSE(Wow64::IsWow64Process());
    for (const auto& row : cases)
        EXPECT_FALSE(Wow64::IsRedirected(row.path) || Wow64::NativeScope(row.path).IsRedirectionOff()) << row.path;
    {
        const FakeRedirector wow64;
        EXPECT_TRUE(Wow64::IsWow64Process());
        for (const auto& row : cases)
        {
            EXPECT_EQ(row.redirected, Wow64::IsRedirected(row.path)) << row.path;
            {
                const Wow64::NativeScope scope(row.path);
                EXPECT_EQ(row.redirected, FakeRedirector::RedirectionOff()) << row.path;
            }
            EXPECT_FALSE(FakeRedirector::RedirectionOff()) << row.path;
        }
        EXPECT_EQ(FakeRedirector::Disables(), FakeRedirector::Reverts());
    }
    EXPECT_FALSE(Wow64::IsWow64Process());
}

// A scope on a copy or rename between the system folder and elsewhere is shown by the boot
// files' restore in the lab (lab.wow64).
TEST(Wow64, ScopesNestAndPutRedirectionBackOnEveryWayOut)
{
    const FakeRedirector wow64;
    const String inside = SystemFolder() + L"\\qmprot32.dll";
    try
    {
        const Wow64::NativeScope outer(inside);
        {
            const Wow64::NativeScope inner(SystemFolder() + L"\\drivers\\qmprotfs.sys");
            EXPECT_TRUE(inner.IsRedirectionOff());
        }
        EXPECT_TRUE(FakeRedirector::RedirectionOff()) << "the inner scope's end turned it back on";
        throw std::runtime_error("failed inside");
    }
    catch (const std::runtime_error&)
    {
        EXPECT_FALSE(FakeRedirector::RedirectionOff());
    }
    // The end of a scope keeps the error a failed call inside it left for its message.
    {
        const Wow64::NativeScope scope(inside);
        SetLastError(ERROR_SHARING_VIOLATION);
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    EXPECT_EQ(FakeRedirector::Disables(), FakeRedirector::Reverts());
}

TEST(Wow64, AScopeThatCannotTurnRedirectionOffFailsNamingThePathAndChangesNothing)
{
    const FakeRedirector wow64;
    const String inside = SystemFolder() + L"\\InetSrv\\MetaBase.xml";

    FakeRedirector::FailNextDisable(ERROR_ACCESS_DENIED);
    EXPECT_EQ(L"Wow64DisableWow64FsRedirection() failed for " + inside + L": " + SystemErrorText(ERROR_ACCESS_DENIED),
              MessageOf<Wow64Exception>([&] { const Wow64::NativeScope scope(inside); }));
    EXPECT_FALSE(FakeRedirector::RedirectionOff());
    EXPECT_EQ(0, FakeRedirector::Reverts());

    // A WOW64 system without the calls (before Windows Server 2003 SP1): its 64-bit files cannot
    // be reached, which must not pass for their 32-bit twins.
    const Wow64::Platform earlier = Wow64::Replace({true, nullptr, nullptr});
    EXPECT_EQ(L"Cannot reach " + inside + L" of the 64-bit system: this system cannot turn off the file-system "
                                          L"redirection of a 32-bit program (no Wow64DisableWow64FsRedirection)",
              MessageOf<Wow64Exception>([&] { const Wow64::NativeScope scope(inside); }));
    EXPECT_EQ(L"(nothing thrown)", MessageOf<Wow64Exception>([] { const Wow64::NativeScope scope(L"C:\\NtLdr"); }));
    Wow64::Replace(earlier);
}
