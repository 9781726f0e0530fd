#include "ScratchDirectory.h"

#include "common/Exceptions.h"
#include "common/FileSystem.h"
#include "common/Handles.h"

#include <gtest/gtest.h>
#include <psapi.h>

#include <functional>
#include <map>

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

    EXPECT_EQ(3, Paths::GetRootLength(L"C:\\Windows\\System32"));
    EXPECT_EQ(12, Paths::GetRootLength(L"\\\\srv\\share\\dir\\file"));
    EXPECT_EQ(18, Paths::GetRootLength(L"\\\\?\\UNC\\srv\\share\\dir"));
    for (const wchar_t* invalid : {L"C:", L"\\\\srv\\", L"relative\\path"})
        EXPECT_EQ(L"Path is invalid", MessageOf<FileSystemException>([&] { Paths::GetRootLength(invalid); }));
}

TEST(Directories, RootsBackslashesAndParents)
{
    for (const auto& root : std::map<String, bool>{{L"C:", true}, {L"C:\\", true}, {L"\\\\srv\\share", true},
                                                   {L"C:\\Windows", false}, {L"\\\\srv\\share\\dir", false}})
        EXPECT_EQ(root.second, Directories::IsRoot(root.first)) << Strings::ToUtf8(root.first);
    String directory = L"C:\\a";
    Directories::AppendBackslash(directory);
    Directories::AppendBackslash(directory);
    EXPECT_EQ(L"C:\\a\\", directory);
    EXPECT_EQ(L"C:\\a", Directories::RemoveBackslash(L"C:\\a\\"));
    EXPECT_EQ(L"C:\\a", Directories::RemoveBackslash(L"C:\\a"));
    const struct
    {
        const wchar_t* path;
        bool removeFileName;
        const wchar_t* directory;
    } parents[] = {{L"C:\\a\\b", true, L"C:\\a"},
                   {L"C:\\a\\b\\", true, L"C:\\a"},
                   {L"C:\\", true, L"C:\\"},
                   {L"C:\\a\\b\\", false, L"C:\\a\\b"},
                   {L"report.txt", false, L""}};
    for (const auto& parent : parents)
        EXPECT_EQ(parent.directory, Directories::GetDirectory(parent.path, parent.removeFileName)) << Strings::ToUtf8(parent.path);
    for (const auto& name : std::map<String, String>{{L"C:\\Windows\\hive.dat", L"hive.dat"}, {L"hive.dat", L"hive.dat"},
                                                     {L"C:\\dir\\", L""}})
        EXPECT_EQ(name.second, Files::GetFileName(name.first));
    EXPECT_TRUE(Directories::IsDotEntry(L".."));
    EXPECT_FALSE(Directories::IsDotEntry(L".profile"));
}

TEST(FileSystemErrors, EmptyArgumentsOfCopiesAndDeletionsAreRefused)
{
    const String some = L"C:\\some";
    const struct
    {
        const wchar_t* message;
        std::function<void()> call;
    } cases[] = {
        // An empty argument would otherwise name the current folder to copy into or delete.
        {L"Destination file cannot be empty", [&] { Files::Copy(some, L"", true); }},
        {L"File cannot be empty", [&] { Files::Delete(L""); }},
        {L"Directory cannot be empty", [&] { Directories::DeleteFiles(L"", L"*.*"); }},
        {L"Directory cannot be empty", [&] { Directories::Delete(L""); }},
        {L"Destination Directory cannot be empty", [&] { Directories::Copy(some, L""); }},
        {L"File pattern cannot be empty", [&] { Directories::DeleteFiles(some, L""); }},
    };
    for (const auto& testCase : cases)
        EXPECT_EQ(testCase.message, MessageOf<FileSystemException>(testCase.call));
}

TEST(Directories, CreateExistsDeleteAndDeleteFilesAnswerForFilesAndFolders)
{
    ScratchDirectory scratch;
    WriteTextFile(scratch / L"file", "x");
    EXPECT_FALSE(Directories::Create(scratch / L"file"));
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
    EXPECT_TRUE(Directories::Exists(scratch.Path() + L"\\"));
    EXPECT_FALSE(Directories::Exists(scratch / L"file"));
    EXPECT_TRUE(Directories::Delete(scratch / L"missing-parent\\never-existed"));

    WriteTextFile(scratch / L"drop.log", "d");
    WriteTextFile(scratch / L"ro.log", "r");
    SetFileAttributesW(Paths::ToLongPath(scratch / L"ro.log").c_str(), FILE_ATTRIBUTE_READONLY);
    WriteTextFile(scratch / L"sub.log\\inner.txt", "inner");
    EXPECT_TRUE(Directories::DeleteFiles(scratch.Path(), L"*.log"));
    EXPECT_TRUE(Directories::DeleteFiles(scratch.Path(), L"*.nomatch"));
    EXPECT_TRUE(IsFileOnDisk(scratch / L"file"));
    for (const wchar_t* gone : {L"drop.log", L"ro.log", L"sub.log"})
        EXPECT_FALSE(Paths::Exists(scratch / gone)) << Strings::ToUtf8(gone);
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

    // Nothing to copy from: nothing copied, and no error; no destination: the system's error.
    EXPECT_EQ(0u, Directories::Copy(scratch / L"source", scratch / L"copy"));
    EXPECT_FALSE(Paths::Exists(scratch / L"copy\\top.txt"));
    WriteTextFile(scratch / L"source\\a.txt", "a");
    WriteTextFile(scratch / L"blocker", "file in the way");
    EXPECT_NE(0u, Directories::Copy(scratch / L"source", scratch / L"blocker\\target"));
    EXPECT_EQ("file in the way", ReadTextFile(scratch / L"blocker"));
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

TEST(Directories, CopyStreamsFilesWithoutBufferingThemWhole)
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
    ASSERT_EQ(0u, Directories::Copy(scratch / L"big", scratch / L"tree"));
    PROCESS_MEMORY_COUNTERS after{};
    ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof after));

    WIN32_FILE_ATTRIBUTE_DATA copied{};
    ASSERT_TRUE(GetFileAttributesExW(Paths::ToLongPath(scratch / L"tree\\big.bin").c_str(), GetFileExInfoStandard, &copied));
    EXPECT_EQ(size, (static_cast<LONGLONG>(copied.nFileSizeHigh) << 32) | copied.nFileSizeLow);
    const SIZE_T growth = after.PeakWorkingSetSize - before.PeakWorkingSetSize;
    EXPECT_LT(growth, static_cast<SIZE_T>(size / 4)) << "peak working set grew by " << growth;
}

TEST(EnvironmentVariables, ExpandsWholeExpansionsLongerThanTheClassicLimit)
{
    const String value = L"C:\\" + String(300, L'x');
    const String name = Strings::Format(L"QMTEST_ROOT_%lu", GetCurrentProcessId());
    ASSERT_TRUE(SetEnvironmentVariableW(name.c_str(), value.c_str()));
    EnvironmentVariables environment;
    String expanded = L"sentinel";
    for (const auto& item : std::map<String, String>{{L"C:\\plain\\path", L"C:\\plain\\path"},
                                                     {L"%" + name + L"%\\tail", value + L"\\tail"}})
    {
        EXPECT_EQ(S_OK, environment.Expand(item.first, expanded));
        EXPECT_EQ(item.second, expanded);
    }
    EXPECT_EQ(L"", environment.GetError());
    SetEnvironmentVariableW(name.c_str(), nullptr);
}
