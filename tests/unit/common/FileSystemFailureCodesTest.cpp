// Every false or non-zero answer of the file layer comes with the system's code for it, and a
// deletion that leaves something behind says so and names what.

#include "ScratchDirectory.h"

#include "common/FileSystem.h"
#include "common/Handles.h"

#include <gtest/gtest.h>

#include <functional>

namespace
{
    // Held open without delete sharing: nobody can delete the file while this lives.
    UniqueFileHandle HoldOpen(const String& path)
    {
        return UniqueFileHandle(CreateFileW(Paths::ToLongPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
    }
}

TEST(FileSystemFailureCodes, AFileInTheWayIsReportedWithItsCode)
{
    ScratchDirectory scratch;
    WriteTextFile(scratch / L"source\\a.txt", "a");
    WriteTextFile(scratch / L"blocker", "file in the way");

    struct Case
    {
        const char* what;
        std::function<bool()> fails;
        DWORD expected;
    };
    const Case cases[] = {
        {"Directories::Create onto a file", [&] { return !Directories::Create(scratch / L"blocker"); },
         ERROR_ALREADY_EXISTS},
        {"Directories::Copy onto a file", [&] { return Directories::Copy(scratch / L"source", scratch / L"blocker") != 0; },
         ERROR_ALREADY_EXISTS},
        {"Files::Copy below a file",
         [&] { return !Files::Copy(scratch / L"source\\a.txt", scratch / L"blocker\\a.txt", true); }, ERROR_ALREADY_EXISTS},
        {"Directories::Create below a file", [&] { return !Directories::Create(scratch / L"blocker\\below"); },
         ERROR_PATH_NOT_FOUND},
    };
    for (const Case& testCase : cases)
    {
        SetLastError(0xdeadbeef);
        EXPECT_TRUE(testCase.fails()) << testCase.what;
        EXPECT_EQ(testCase.expected, GetLastError()) << testCase.what;
    }
    // Directories::Copy hands back the code itself.
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), Directories::Copy(scratch / L"source", scratch / L"blocker"));
    EXPECT_EQ("file in the way", ReadTextFile(scratch / L"blocker"));
    EXPECT_FALSE(Paths::Exists(scratch / L"blocker\\a.txt"));
}

TEST(FileSystemFailureCodes, DeletionStopsAtAnEntryThatCannotGoAndNamesIt)
{
    ScratchDirectory scratch;
    WriteTextFile(scratch / L"tree\\inner\\held.txt", "held");
    const UniqueFileHandle held = HoldOpen(scratch / L"tree\\inner\\held.txt");
    ASSERT_TRUE(held);

    String failedEntry;
    SetLastError(0);
    EXPECT_FALSE(Directories::DeleteFiles(scratch.Path(), L"*", &failedEntry));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    EXPECT_EQ(Paths::ToLongPath(scratch / L"tree\\inner\\held.txt"), failedEntry);
    EXPECT_EQ("held", ReadTextFile(scratch / L"tree\\inner\\held.txt"));

    failedEntry.clear();
    SetLastError(0);
    EXPECT_FALSE(Directories::Delete(scratch / L"tree", &failedEntry));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    EXPECT_EQ(Paths::ToLongPath(scratch / L"tree\\inner\\held.txt"), failedEntry);

    // Without a place for the name, the answer is the same.
    EXPECT_FALSE(Directories::DeleteFiles(scratch / L"tree", L"*"));
}

TEST(FileSystemFailureCodes, NothingToDeleteIsNotAFailure)
{
    ScratchDirectory scratch;
    String failedEntry;
    EXPECT_TRUE(Directories::DeleteFiles(scratch / L"missing", L"*", &failedEntry));
    EXPECT_TRUE(Directories::DeleteFiles(scratch.Path(), L"*.none", &failedEntry));
    EXPECT_TRUE(Directories::Delete(scratch / L"missing\\deeper", &failedEntry));
    EXPECT_EQ(L"", failedEntry);
}
