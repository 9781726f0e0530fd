#include "ScratchDirectory.h"

#include "common/Exceptions.h"
#include "common/FileSystem.h"
#include "common/Handles.h"

#include <gtest/gtest.h>
#include <psapi.h>

#include <functional>

namespace
{
    // A path below base that is longer than the classic limit: ten levels of 40 characters.
    String DeepPath(const String& base)
    {
        String path = base;
        for (int level = 0; level < 10; ++level)
            path += Strings::Format(L"\\level%02d_%s", level, String(32, L'd').c_str());
        return path;
    }
}

TEST(Paths, LongFormsAndRootLengths)
{
    EXPECT_EQ(L"\\\\?\\C:\\x", Paths::ToLongPath(L"C:\\x"));
    EXPECT_EQ(L"\\\\?\\UNC\\srv\\share\\x", Paths::ToLongPath(L"\\\\srv\\share\\x"));
    EXPECT_EQ(L"\\\\?\\C:\\already", Paths::ToLongPath(L"\\\\?\\C:\\already"));
    // Without a drive, even a relative path is taken as UNC.
    EXPECT_EQ(L"\\\\?\\UNC\\relative\\x", Paths::ToLongPath(L"relative\\x"));
    EXPECT_TRUE(Paths::IsLongPath(L"prefix\\\\?\\C:\\"));
    EXPECT_FALSE(Paths::IsLongPath(L"C:\\x"));

    const std::pair<const wchar_t*, int> roots[] = {{L"C:\\", 3},
                                                    {L"C:\\Windows\\System32", 3},
                                                    {L"\\\\?\\C:\\x", 7},
                                                    {L"\\\\srv\\share", 11},
                                                    {L"\\\\srv\\share\\dir\\file", 12},
                                                    {L"\\\\?\\UNC\\srv\\share\\dir", 18}};
    for (const auto& root : roots)
        EXPECT_EQ(root.second, Paths::GetRootLength(root.first)) << Strings::ToUtf8(root.first);
    for (const wchar_t* invalid : {L"C:", L"\\\\srv", L"\\\\srv\\", L"relative\\path"})
        EXPECT_EQ(L"Path is invalid", MessageOf<FileSystemException>([&] { Paths::GetRootLength(invalid); }));
}

TEST(Directories, RootsBackslashesAndParents)
{
    EXPECT_TRUE(Directories::IsRoot(L"C:"));
    EXPECT_TRUE(Directories::IsRoot(L"C:\\"));
    EXPECT_TRUE(Directories::IsRoot(L"\\\\srv\\share"));
    EXPECT_FALSE(Directories::IsRoot(L"C:\\Windows"));
    EXPECT_FALSE(Directories::IsRoot(L"\\\\srv\\share\\dir"));

    String directory = L"C:\\a";
    Directories::AppendBackslash(directory);
    Directories::AppendBackslash(directory);
    EXPECT_EQ(L"C:\\a\\", directory);
    EXPECT_EQ(L"C:\\a", Directories::RemoveBackslash(L"C:\\a\\"));
    EXPECT_EQ(L"C:\\a", Directories::RemoveBackslash(L"C:\\a"));

    EXPECT_EQ(L"C:\\a", Directories::GetDirectory(L"C:\\a\\b", true));
    EXPECT_EQ(L"C:\\a", Directories::GetDirectory(L"C:\\a\\b\\", true));
    EXPECT_EQ(L"C:\\", Directories::GetDirectory(L"C:\\", true));
    EXPECT_EQ(L"C:\\a\\b", Directories::GetDirectory(L"C:\\a\\b\\", false));
    EXPECT_EQ(L"", Directories::GetDirectory(L"report.txt", false));

    EXPECT_EQ(L"hive.dat", Files::GetFileName(L"C:\\Windows\\hive.dat"));
    EXPECT_EQ(L"hive.dat", Files::GetFileName(L"hive.dat"));
    EXPECT_EQ(L"", Files::GetFileName(L"C:\\dir\\"));
    EXPECT_TRUE(Directories::IsDotEntry(L".."));
    EXPECT_FALSE(Directories::IsDotEntry(L".profile"));
}

TEST(FileSystemErrors, EveryEmptyArgumentThrowsItsOwnMessage)
{
    const String some = L"C:\\some";
    String empty;
    bool flag = false;
    const struct
    {
        const wchar_t* message;
        std::function<void()> call;
    } cases[] = {
        {L"Source file cannot be empty", [&] { Files::Copy(L"", some, true); }},
        {L"Destination file cannot be empty", [&] { Files::Copy(some, L"", true); }},
        {L"PathFileName cannot be empty", [&] { Files::GetFileName(L""); }},
        {L"FileName cannot be empty", [&] { Directories::GetDirectory(L"", true); }},
        {L"File cannot be empty", [&] { Files::Exists(L""); }},
        {L"File cannot be empty", [&] { Files::Delete(L""); }},
        {L"Directory cannot be empty", [&] { Directories::AppendBackslash(empty); }},
        {L"Directory cannot be empty", [&] { Directories::RemoveBackslash(L""); }},
        {L"Directory cannot be empty", [&] { Directories::Exists(L""); }},
        {L"Directory cannot be empty", [&] { Directories::IsDotEntry(L""); }},
        {L"Directory cannot be empty", [&] { Directories::Create(L""); }},
        {L"Directory cannot be empty", [&] { Directories::DeleteFiles(L"", L"*.*"); }},
        {L"Directory cannot be empty", [&] { Directories::Delete(L""); }},
        {L"Source Directory cannot be empty", [&] { Directories::Copy(L"", some); }},
        {L"Destination Directory cannot be empty", [&] { Directories::Copy(some, L""); }},
        {L"File pattern cannot be empty", [&] { Directories::DeleteFiles(some, L""); }},
        {L"Path cannot be empty", [&] { Paths::IsLongPath(L""); }},
        {L"Path cannot be empty", [&] { Paths::ToLongPath(L""); }},
        {L"Path cannot be empty", [&] { Paths::GetRootLength(L""); }},
        {L"Path cannot be empty", [&] { Paths::Exists(L""); }},
        {L"Path cannot be empty", [&] { Paths::GetAttributes(L"", flag); }},
        {L"Path cannot be empty", [&] { Directories::IsRoot(L""); }},
    };
    for (const auto& testCase : cases)
        EXPECT_EQ(testCase.message, MessageOf<FileSystemException>(testCase.call));
}

TEST(Directories, CreateAnswersForExistingFilesAndDirectories)
{
    ScratchDirectory scratch;
    WriteTextFile(scratch / L"file", "x");
    EXPECT_FALSE(Directories::Create(scratch / L"file"));
    EXPECT_TRUE(IsFileOnDisk(scratch / L"file"));
    EXPECT_TRUE(Directories::Create(scratch.Path()));
    EXPECT_TRUE(Directories::Create(scratch.Path() + L"\\"));
    // A file in the middle of the path stops the walk.
    EXPECT_FALSE(Directories::Create(scratch / L"file\\below"));
    EXPECT_TRUE(Directories::Create(L"C:\\"));

    bool isDirectory = false;
    EXPECT_TRUE(Paths::GetAttributes(scratch / L"file", isDirectory));
    EXPECT_FALSE(isDirectory);
    EXPECT_TRUE(Paths::GetAttributes(scratch.Path(), isDirectory));
    EXPECT_TRUE(isDirectory);
    EXPECT_FALSE(Paths::GetAttributes(scratch / L"missing", isDirectory));
    EXPECT_TRUE(Directories::Exists(L"C:\\"));
    EXPECT_TRUE(Directories::Exists(scratch.Path() + L"\\"));
    EXPECT_FALSE(Directories::Exists(scratch / L"file"));
}

TEST(Directories, DeepTreesAreCreatedCopiedAndDeleted)
{
    ScratchDirectory scratch;
    const String source = DeepPath(scratch / L"source");
    ASSERT_GT(source.size(), 400u);
    ASSERT_TRUE(Directories::Create(source));
    ASSERT_TRUE(IsDirectoryOnDisk(source));
    WriteTextFile(source + L"\\data.bin", "deep content");
    WriteTextFile(scratch / L"source\\top.txt", "top");
    WriteTextFile(scratch / L"source\\.profile", "hidden");
    ASSERT_TRUE(Directories::Create(scratch / L"source\\.cache\\inner"));
    WriteTextFile(scratch / L"source\\readonly.txt", "ro");
    SetFileAttributesW(Paths::ToLongPath(scratch / L"source\\readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY);

    // A stale file at the destination is replaced.
    WriteTextFile(scratch / L"copy\\top.txt", "stale");
    ASSERT_EQ(0u, Directories::Copy(scratch / L"source", scratch / L"copy\\"));

    const String copiedDeep = DeepPath(scratch / L"copy");
    EXPECT_EQ("deep content", ReadTextFile(copiedDeep + L"\\data.bin"));
    EXPECT_EQ("top", ReadTextFile(scratch / L"copy\\top.txt"));
    EXPECT_EQ("ro", ReadTextFile(scratch / L"copy\\readonly.txt"));
    EXPECT_FALSE(Paths::Exists(scratch / L"copy\\.profile"));
    EXPECT_FALSE(Paths::Exists(scratch / L"copy\\.cache"));

    ASSERT_TRUE(Directories::Delete(scratch / L"source"));
    EXPECT_FALSE(Paths::Exists(scratch / L"source"));
    ASSERT_TRUE(Directories::Delete(scratch / L"copy\\"));
    EXPECT_FALSE(Paths::Exists(scratch / L"copy"));

    // Nothing to copy from: nothing copied, and no error.
    EXPECT_EQ(0u, Directories::Copy(scratch / L"source", scratch / L"copy"));
    EXPECT_FALSE(Paths::Exists(scratch / L"copy\\top.txt"));
}

TEST(Directories, CopyReportsTheSystemErrorWhenTheDestinationCannotBeMade)
{
    ScratchDirectory scratch;
    WriteTextFile(scratch / L"source\\a.txt", "a");
    WriteTextFile(scratch / L"blocker", "file in the way");
    EXPECT_NE(0u, Directories::Copy(scratch / L"source", scratch / L"blocker\\target"));
    EXPECT_EQ("file in the way", ReadTextFile(scratch / L"blocker"));
}

TEST(Directories, DeleteOfAMissingDirectorySucceedsAndDeleteFilesFollowsThePattern)
{
    ScratchDirectory scratch;
    EXPECT_TRUE(Directories::Delete(scratch / L"never-existed"));
    EXPECT_TRUE(Directories::Delete(scratch / L"missing-parent\\never-existed"));

    WriteTextFile(scratch / L"keep.txt", "k");
    WriteTextFile(scratch / L"drop.log", "d");
    WriteTextFile(scratch / L"ro.log", "r");
    SetFileAttributesW(Paths::ToLongPath(scratch / L"ro.log").c_str(), FILE_ATTRIBUTE_READONLY);
    WriteTextFile(scratch / L"sub.log\\inner.txt", "inner");
    EXPECT_TRUE(Directories::DeleteFiles(scratch.Path(), L"*.log"));
    EXPECT_TRUE(IsFileOnDisk(scratch / L"keep.txt"));
    EXPECT_FALSE(Paths::Exists(scratch / L"drop.log"));
    EXPECT_FALSE(Paths::Exists(scratch / L"ro.log"));
    EXPECT_FALSE(Paths::Exists(scratch / L"sub.log"));
    EXPECT_TRUE(Directories::DeleteFiles(scratch.Path(), L"*.nomatch"));
}

TEST(Files, CopyCreatesTheDestinationFolderAndHonoursOverwrite)
{
    ScratchDirectory scratch;
    WriteTextFile(scratch / L"a.txt", "first");
    const String target = DeepPath(scratch / L"out") + L"\\a.txt";
    ASSERT_TRUE(Files::Copy(scratch / L"a.txt", target, false));
    EXPECT_EQ("first", ReadTextFile(target));

    WriteTextFile(scratch / L"a.txt", "second");
    EXPECT_FALSE(Files::Copy(scratch / L"a.txt", target, false));
    EXPECT_EQ("first", ReadTextFile(target));
    EXPECT_TRUE(Files::Copy(scratch / L"a.txt", target, true));
    EXPECT_EQ("second", ReadTextFile(target));

    EXPECT_FALSE(Files::Copy(scratch / L"missing.txt", scratch / L"b.txt", true));
    EXPECT_FALSE(Files::Exists(scratch / L"b.txt"));
    EXPECT_TRUE(Files::Exists(target));
    EXPECT_TRUE(Files::Delete(target));
    EXPECT_FALSE(Files::Exists(target));
    EXPECT_FALSE(Files::Delete(target));
}

TEST(Files, CopiesStreamWithoutBufferingWholeFiles)
{
    ScratchDirectory scratch;
    const LONGLONG size = 192LL * 1024 * 1024;
    {
        ASSERT_TRUE(Directories::Create(scratch / L"big"));
        UniqueFileHandle file(CreateFileW(Paths::ToLongPath(scratch / L"big\\big.bin").c_str(), GENERIC_WRITE, 0,
                                          nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(file);
        LARGE_INTEGER end;
        end.QuadPart = size;
        ASSERT_TRUE(SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN));
        ASSERT_TRUE(SetEndOfFile(file.get()));
    }

    PROCESS_MEMORY_COUNTERS before{};
    ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof before));
    ASSERT_TRUE(Files::Copy(scratch / L"big\\big.bin", scratch / L"one\\big.bin", false));
    ASSERT_EQ(0u, Directories::Copy(scratch / L"big", scratch / L"tree"));
    PROCESS_MEMORY_COUNTERS after{};
    ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof after));

    WIN32_FILE_ATTRIBUTE_DATA copied{};
    ASSERT_TRUE(GetFileAttributesExW(Paths::ToLongPath(scratch / L"tree\\big.bin").c_str(), GetFileExInfoStandard, &copied));
    EXPECT_EQ(size, (static_cast<LONGLONG>(copied.nFileSizeHigh) << 32) | copied.nFileSizeLow);
    const SIZE_T growth = after.PeakWorkingSetSize - before.PeakWorkingSetSize;
    EXPECT_LT(growth, static_cast<SIZE_T>(size / 4)) << "peak working set grew by " << growth;
}

TEST(EnvironmentVariables, ExpandsSystemVariablesAndLeavesPlainTextAlone)
{
    EnvironmentVariables environment;
    String expanded = L"sentinel";
    ASSERT_EQ(S_OK, environment.Expand(L"C:\\plain\\path", expanded));
    EXPECT_EQ(L"C:\\plain\\path", expanded);

    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    ASSERT_EQ(S_OK, environment.Expand(L"%SystemRoot%\\System32", expanded));
    EXPECT_TRUE(Strings::EqualsNoCase(String(windows) + L"\\System32", expanded));

    // Longer than the classic path limit: expanded whole, not cut.
    const String longTail(300, L'x');
    ASSERT_EQ(S_OK, environment.Expand(L"%SystemRoot%\\" + longTail, expanded));
    EXPECT_TRUE(Strings::EqualsNoCase(String(windows) + L"\\" + longTail, expanded));
    EXPECT_EQ(L"", environment.GetError());
}
