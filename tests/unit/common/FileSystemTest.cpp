#include "ScratchDirectory.h"

#include "common/Exceptions.h"
#include "common/FileSystem.h"
#include "common/Handles.h"

#include <gtest/gtest.h>
#include <psapi.h>

#include <algorithm>
#include <functional>
#include <map>
#include <tuple>
#include <vector>

namespace
{
    // Longer than the classic limit: ten levels of 40 characters.
    String DeepPath(const String& base)
    {
        String path = base;
        for (int level = 0; level < 10; ++level)
            path += Strings::Format(L"\\level%02d_%s", level, String(32, L'd').c_str());
        return path;
    }
}

TEST(Paths, LongFormsRootsAndParents)
{
    for (const auto& item : std::map<String, String>{{L"C:\\x", L"\\\\?\\C:\\x"},
                                                     {L"\\\\srv\\share\\x", L"\\\\?\\UNC\\srv\\share\\x"},
                                                     {L"\\\\?\\C:\\already", L"\\\\?\\C:\\already"},
                                                     {L"relative\\x", L"\\\\?\\UNC\\relative\\x"}})
        EXPECT_EQ(item.second, Paths::ToLongPath(item.first));
    EXPECT_TRUE(Paths::IsLongPath(L"prefix\\\\?\\C:\\"));
    EXPECT_FALSE(Paths::IsLongPath(L"C:\\x"));

    EXPECT_EQ(3, Paths::GetRootLength(L"C:\\Windows\\System32"));
    EXPECT_EQ(12, Paths::GetRootLength(L"\\\\srv\\share\\dir\\file"));
    EXPECT_EQ(18, Paths::GetRootLength(L"\\\\?\\UNC\\srv\\share\\dir"));
    for (const wchar_t* invalid : {L"C:", L"\\\\srv\\", L"relative\\path"})
        EXPECT_EQ(L"Path is invalid", MessageOf<FileSystemException>([&] { Paths::GetRootLength(invalid); }));

    for (const auto& root : std::map<String, bool>{{L"C:", true}, {L"C:\\", true}, {L"\\\\srv\\share", true},
                                                   {L"C:\\Windows", false}, {L"\\\\srv\\share\\dir", false}})
        EXPECT_EQ(root.second, Directories::IsRoot(root.first)) << Strings::ToUtf8(root.first);
    String directory = L"C:\\a";
    Directories::AppendBackslash(directory);
    Directories::AppendBackslash(directory);
    EXPECT_EQ(L"C:\\a\\", directory);
    EXPECT_EQ(L"C:\\a", Directories::RemoveBackslash(L"C:\\a\\"));
    const std::tuple<const wchar_t*, bool, const wchar_t*> parents[] = {
        {L"C:\\a\\b", true, L"C:\\a"}, {L"C:\\a\\b\\", true, L"C:\\a"}, {L"C:\\", true, L"C:\\"},
        {L"C:\\a\\b\\", false, L"C:\\a\\b"}, {L"report.txt", false, L""}};
    for (const auto& parent : parents)
        EXPECT_EQ(std::get<2>(parent), Directories::GetDirectory(std::get<0>(parent), std::get<1>(parent)));
    for (const auto& name : std::map<String, String>{{L"C:\\Windows\\hive.dat", L"hive.dat"}, {L"hive.dat", L"hive.dat"},
                                                     {L"C:\\dir\\", L""}})
        EXPECT_EQ(name.second, Files::GetFileName(name.first));
    EXPECT_TRUE(Directories::IsDotEntry(L".."));
    EXPECT_FALSE(Directories::IsDotEntry(L".profile"));
}

TEST(Paths, SameOrBelowByNameAndByIdentity)
{
    ScratchDirectory scratch;
    const String live = scratch / L"Live";
    ASSERT_TRUE(Directories::Create(live + L"\\Logs\\Backup"));
    ASSERT_TRUE(Directories::Create(scratch / L"LiveSibling"));
    for (const String& inside : {live, live + L"\\", live + L"\\Logs\\Backup", Paths::ToLongPath(live + L"\\Logs"),
                                 live + L"\\logs\\..\\Logs\\not-yet-made", scratch / L"LIVE\\Logs"})
        EXPECT_TRUE(Paths::IsSameOrBelow(live, inside)) << Strings::ToUtf8(inside);
    for (const String& outside : {scratch.Path(), scratch / L"LiveSibling", scratch / L"Liv", String()})
        EXPECT_FALSE(Paths::IsSameOrBelow(live, outside)) << Strings::ToUtf8(outside);
    // Relative to the current folder, as a caller may pass it.
    wchar_t previous[MAX_PATH];
    ASSERT_NE(0u, GetCurrentDirectoryW(MAX_PATH, previous));
    ASSERT_TRUE(SetCurrentDirectoryW(live.c_str()));
    EXPECT_TRUE(Paths::IsSameOrBelow(live, L"Logs\\Backup"));
    EXPECT_FALSE(Paths::IsSameOrBelow(live, L"..\\LiveSibling"));
    SetCurrentDirectoryW(previous);
}

TEST(FileSystemErrors, EmptyArgumentsOfCopiesAndDeletionsAreRefused)
{
    const String some = L"C:\\some";
    // An empty argument would otherwise name the current folder to copy into or delete.
    const std::pair<const wchar_t*, std::function<void()>> cases[] = {
        {L"Destination file cannot be empty", [&] { Files::Copy(some, L"", true); }},
        {L"File cannot be empty", [&] { Files::Delete(L""); }},
        {L"Directory cannot be empty", [&] { Directories::DeleteFiles(L"", L"*.*"); }},
        {L"Directory cannot be empty", [&] { Directories::Delete(L""); }},
        {L"Destination Directory cannot be empty", [&] { Directories::Copy(some, L""); }},
        {L"File pattern cannot be empty", [&] { Directories::DeleteFiles(some, L""); }},
    };
    for (const auto& testCase : cases)
        EXPECT_EQ(testCase.first, MessageOf<FileSystemException>(testCase.second));
}

TEST(FileSystemErrors, AFileInTheWayIsReportedWithItsCode)
{
    ScratchDirectory scratch;
    WriteTextFile(scratch / L"source\\a.txt", "a");
    WriteTextFile(scratch / L"blocker", "file in the way");
    const std::tuple<const char*, std::function<bool()>, DWORD> cases[] = {
        {"Create onto a file", [&] { return !Directories::Create(scratch / L"blocker"); }, ERROR_ALREADY_EXISTS},
        {"Copy tree onto a file", [&] { return Directories::Copy(scratch / L"source", scratch / L"blocker") != 0; },
         ERROR_ALREADY_EXISTS},
        {"Copy file below a file",
         [&] { return !Files::Copy(scratch / L"source\\a.txt", scratch / L"blocker\\a.txt", true); }, ERROR_ALREADY_EXISTS},
        {"Create below a file", [&] { return !Directories::Create(scratch / L"blocker\\below"); }, ERROR_PATH_NOT_FOUND},
    };
    for (const auto& testCase : cases)
    {
        SetLastError(0xdeadbeef);
        EXPECT_TRUE(std::get<1>(testCase)()) << std::get<0>(testCase);
        EXPECT_EQ(std::get<2>(testCase), GetLastError()) << std::get<0>(testCase);
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), Directories::Copy(scratch / L"source", scratch / L"blocker"));
    EXPECT_EQ("file in the way", ReadTextFile(scratch / L"blocker"));
    EXPECT_FALSE(Paths::Exists(scratch / L"blocker\\a.txt"));
}

TEST(FileSystemErrors, DeletionStopsAtAnEntryThatCannotGoAndNamesIt)
{
    ScratchDirectory scratch;
    const String heldPath = scratch / L"tree\\inner\\held.txt";
    WriteTextFile(heldPath, "held");
    // Open without delete sharing: nobody can delete the file while this lives.
    const UniqueFileHandle held(CreateFileW(Paths::ToLongPath(heldPath).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    for (const auto& deletion : std::vector<std::function<bool(String*)>>{
             [&](String* failed) { return Directories::DeleteFiles(scratch.Path(), L"*", failed); },
             [&](String* failed) { return Directories::Delete(scratch / L"tree", failed); }})
    {
        String failedEntry;
        SetLastError(0);
        EXPECT_FALSE(deletion(&failedEntry));
        EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
        EXPECT_EQ(Paths::ToLongPath(heldPath), failedEntry);
        EXPECT_FALSE(deletion(nullptr));
    }
    EXPECT_EQ("held", ReadTextFile(heldPath));

    // Nothing to delete is no failure, and names nothing.
    String failedEntry;
    EXPECT_TRUE(Directories::DeleteFiles(scratch / L"missing", L"*", &failedEntry));
    EXPECT_TRUE(Directories::DeleteFiles(scratch.Path(), L"*.none", &failedEntry));
    EXPECT_TRUE(Directories::Delete(scratch / L"missing\\deeper", &failedEntry));
    EXPECT_EQ(L"", failedEntry);
}

TEST(Directories, CreateTakesRootsAndTrailingBackslashesAndDeleteFilesTakesWhatMatches)
{
    ScratchDirectory scratch;
    WriteTextFile(scratch / L"file", "x");
    EXPECT_TRUE(Directories::Create(scratch.Path() + L"\\"));
    EXPECT_TRUE(Directories::Create(L"C:\\"));
    WriteTextFile(scratch / L"drop.log", "d");
    WriteTextFile(scratch / L"ro.log", "r");
    SetFileAttributesW(Paths::ToLongPath(scratch / L"ro.log").c_str(), FILE_ATTRIBUTE_READONLY);
    WriteTextFile(scratch / L"sub.log\\inner.txt", "inner");
    EXPECT_TRUE(Directories::DeleteFiles(scratch.Path(), L"*.log"));
    EXPECT_TRUE(IsFileOnDisk(scratch / L"file"));
    for (const wchar_t* gone : {L"drop.log", L"ro.log", L"sub.log"})
        EXPECT_FALSE(Paths::Exists(scratch / gone)) << Strings::ToUtf8(gone);
}

TEST(Directories, DeepTreesAreCreatedCopiedAndDeleted)
{
    ScratchDirectory scratch;
    const String source = DeepPath(scratch / L"source");
    ASSERT_TRUE(Directories::Create(source));
    WriteTextFile(source + L"\\data.bin", "deep content");
    WriteTextFile(scratch / L"source\\top.txt", "top");
    WriteTextFile(scratch / L"source\\.profile", "hidden");
    ASSERT_TRUE(Directories::Create(scratch / L"source\\.cache\\inner"));
    WriteTextFile(scratch / L"source\\readonly.txt", "ro");
    SetFileAttributesW(Paths::ToLongPath(scratch / L"source\\readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY);

    WriteTextFile(scratch / L"copy\\top.txt", "stale");
    ASSERT_EQ(0u, Directories::Copy(scratch / L"source", scratch / L"copy\\"));
    EXPECT_EQ("deep content", ReadTextFile(DeepPath(scratch / L"copy") + L"\\data.bin"));
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

// Files around the copy buffer's steps (a short read ends a file only once all of it is in),
// copied into a tree that already holds some of its folders and files, and one folder whose name
// a file holds.
TEST(Directories, TreeCopiesAreWholeAtBufferEdgesAndIntoFoldersAlreadyThere)
{
    ScratchDirectory scratch;
    const size_t sizes[] = {0, 1, 65535, 65536, 65537, 196608, 262143, 262144, 262145, 600 * 1024 + 7};
    std::map<String, std::string> files;
    for (size_t index = 0; index < sizeof sizes / sizeof sizes[0]; ++index)
    {
        std::string data(sizes[index], '\0');
        for (size_t at = 0; at < data.size(); ++at)
            data[at] = static_cast<char>('a' + (at * 7 + index) % 26);
        const String name = Strings::Format(index % 2 ? L"old\\f%02d.bin" : L"old\\new\\f%02d.bin", static_cast<int>(index));
        files[name] = data;
        WriteTextFile(scratch / (L"source\\" + name), data);
    }
    WriteTextFile(scratch / L"source\\blocked\\inner.txt", "inner");
    WriteTextFile(scratch / L"copy\\old\\f01.bin", "stale");
    ASSERT_TRUE(Directories::Create(scratch / L"copy\\old\\new"));

    ASSERT_EQ(0u, Directories::Copy(scratch / L"source\\old", scratch / L"copy\\old"));
    for (const auto& file : files)
        EXPECT_EQ(file.second, ReadTextFile(scratch / (L"copy\\" + file.first))) << Strings::ToUtf8(file.first);

    WriteTextFile(scratch / L"copy\\blocked", "a file");
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), Directories::Copy(scratch / L"source", scratch / L"copy"));
    EXPECT_EQ("a file", ReadTextFile(scratch / L"copy\\blocked"));
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
    EXPECT_TRUE(Files::Delete(target));
    EXPECT_FALSE(Files::Exists(target));
}

// A file is replaced only by a whole copy made beside it: when it cannot be replaced (here: held
// open without delete sharing) it stays as it was, and nothing is left beside it.
TEST(Files, AFileIsReplacedOnlyByAWholeCopy)
{
    ScratchDirectory scratch;
    WriteTextFile(scratch / L"from\\data.bin", std::string(600 * 1024, 'x'));
    WriteTextFile(scratch / L"to\\data.bin", "precious");
    auto leftBeside = [&] {
        WIN32_FIND_DATAW entry;
        return static_cast<bool>(UniqueFindHandle(FindFirstFileW((scratch / L"to\\data.bin.qm*").c_str(), &entry)));
    };
    {
        UniqueFileHandle held(CreateFileW(Paths::ToLongPath(scratch / L"to\\data.bin").c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held);
        EXPECT_FALSE(Files::Copy(scratch / L"from\\data.bin", scratch / L"to\\data.bin", true));
        EXPECT_NE(0u, Directories::Copy(scratch / L"from", scratch / L"to"));
        EXPECT_EQ("precious", ReadTextFile(scratch / L"to\\data.bin"));
        EXPECT_FALSE(leftBeside());
    }
    EXPECT_EQ(0u, Directories::Copy(scratch / L"from", scratch / L"to"));
    EXPECT_EQ(std::string(600 * 1024, 'x'), ReadTextFile(scratch / L"to\\data.bin"));
    EXPECT_FALSE(leftBeside());
}

TEST(Directories, CopyStreamsFilesWithoutBufferingThemWhole)
{
    ScratchDirectory scratch;
    const LONGLONG size = 192LL * 1024 * 1024;
    {
        ASSERT_TRUE(Directories::Create(scratch / L"big"));
        UniqueFileHandle file(CreateFileW(Paths::ToLongPath(scratch / L"big\\big.bin").c_str(), GENERIC_WRITE, 0,
                                          nullptr, CREATE_ALWAYS, 0, nullptr));
        LARGE_INTEGER end;
        end.QuadPart = size;
        ASSERT_TRUE(file && SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN) && SetEndOfFile(file.get()));
    }
    PROCESS_MEMORY_COUNTERS before{}, after{};
    ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof before) &&
                Directories::Copy(scratch / L"big", scratch / L"tree") == 0 &&
                GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof after));

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

TEST(SparseFileWriter, FilesReadBackByteForByte)
{
    ScratchDirectory scratch;
    const size_t block = 64 * 1024;
    // A file of `length` zeros with 'x' at `marks`, handed to the writer in pieces of `piece`.
    struct Case
    {
        const char* name;
        size_t length;
        std::vector<size_t> marks;
        DWORD piece;
    };
    const Case cases[] = {
        // Pieces that straddle blocks; a zero run inside one piece, and one across pieces.
        {"mixed", 5 * block + 123, {0, block - 1, 3 * block + 7, 5 * block + 122}, 100000},
        {"ends in zeros", 64 * block, {10}, 128 * 1024},
        {"all zeros", 3 * block + 5, {}, 512 * 1024},
        {"empty", 0, {}, 4096},
    };
    int number = 0;
    for (const Case& test : cases)
    {
        SCOPED_TRACE(test.name);
        std::string content(test.length, '\0');
        for (size_t mark : test.marks)
            content[mark] = 'x';
        const String path = scratch / Strings::Format(L"%d.bin", ++number);
        {
            UniqueFileHandle file(CreateFileW(Paths::ToLongPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
            ASSERT_TRUE(file);
            SparseFileWriter writer(file.get());
            for (size_t at = 0; at < content.size(); at += test.piece)
                ASSERT_TRUE(writer.Write(content.data() + at,
                                         static_cast<DWORD>(std::min<size_t>(test.piece, content.size() - at))));
            ASSERT_TRUE(writer.Finish());
        }
        EXPECT_TRUE(ReadTextFile(path) == content) << "read back " << ReadTextFile(path).size() << " bytes";
    }
}

TEST(SparseFileWriter, ZeroBlocksAreNotWrittenAndAnEndThatCannotBeSetFailsFinish)
{
    ScratchDirectory scratch;
    WriteTextFile(scratch / L"readonly.bin", "");
    {
        // Without write access only a skipped block gets through.
        UniqueFileHandle file(CreateFileW(Paths::ToLongPath(scratch / L"readonly.bin").c_str(), GENERIC_READ, 0,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(file);
        std::vector<BYTE> data(64 * 1024, 0);
        SparseFileWriter zeros(file.get());
        ASSERT_TRUE(zeros.Write(data.data(), static_cast<DWORD>(data.size())));
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(zeros.Finish());
        EXPECT_NE(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
        data[100] = 1;
        SparseFileWriter nonZero(file.get());
        EXPECT_FALSE(nonZero.Write(data.data(), static_cast<DWORD>(data.size())));
        EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    }
    EXPECT_EQ("", ReadTextFile(scratch / L"readonly.bin"));
}

namespace
{
    // The names in a folder, sorted, folders marked with a trailing backslash.
    std::vector<String> Listing(const String& folder)
    {
        std::vector<String> names;
        WIN32_FIND_DATAW entry;
        UniqueFindHandle search(FindFirstFileW((Paths::ToLongPath(folder) + L"\\*").c_str(), &entry));
        if (!search)
            return names;
        do
        {
            if (!Directories::IsDotEntry(entry.cFileName))
                names.push_back(String(entry.cFileName) + ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? L"\\" : L""));
        } while (FindNextFileW(search.get(), &entry));
        std::sort(names.begin(), names.end());
        return names;
    }

    // A live folder with two files, one the backup does not hold, and a subfolder; a backup
    // that brings a new "a.dat" and a "c.dat" for a folder that does not exist yet.
    class Replacement : public testing::Test
    {
    protected:
        void SetUp() override
        {
            WriteTextFile(m_live / L"a.dat", "live a");
            WriteTextFile(m_live / L"extra.log", "live extra");
            WriteTextFile(m_live / L"sub\\kept.txt", "live sub");
            WriteTextFile(m_saved / L"a.dat", std::string(300 * 1024, 'A'));
            WriteTextFile(m_saved / L"c.dat", "saved c");
        }

        void Fill(ReplacementSet& set)
        {
            set.Add(m_saved / L"a.dat", m_live / L"a.dat");
            set.Add(m_saved / L"c.dat", m_live / L"new\\c.dat");
            set.RemoveOthersIn(m_live.Path());
        }

        void ExpectLiveAsItWas(const std::vector<String>& listing = {L"a.dat", L"extra.log", L"sub\\"})
        {
            EXPECT_EQ(listing, Listing(m_live.Path()));
            EXPECT_EQ("live a", ReadTextFile(m_live / L"a.dat"));
            EXPECT_EQ("live extra", ReadTextFile(m_live / L"extra.log"));
            EXPECT_EQ("live sub", ReadTextFile(m_live / L"sub\\kept.txt"));
        }

        UniqueFileHandle Hold(const String& path, DWORD share)
        {
            return UniqueFileHandle(
                CreateFileW(Paths::ToLongPath(path).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr));
        }

        ScratchDirectory m_live{L"ReplacementLive"};
        ScratchDirectory m_saved{L"ReplacementSaved"};
    };
}

TEST_F(Replacement, CopiesBesideTheLiveFilesThenRenamesThenRemovesTheOthers)
{
    ReplacementSet set;
    Fill(set);
    ASSERT_TRUE(set.Stage());
    // Staged in the live folders themselves: the renames stay on one volume.
    EXPECT_EQ((std::vector<String>{L"a.dat", L"a.dat.qm0~", L"extra.log", L"new\\", L"sub\\"}), Listing(m_live.Path()));
    EXPECT_EQ("live a", ReadTextFile(m_live / L"a.dat"));
    EXPECT_EQ(std::vector<String>{L"c.dat.qm0~"}, Listing(m_live / L"new"));

    ASSERT_TRUE(set.Commit());
    EXPECT_EQ(std::string(300 * 1024, 'A'), ReadTextFile(m_live / L"a.dat"));
    EXPECT_EQ("saved c", ReadTextFile(m_live / L"new\\c.dat"));
    // The replaced and the other files wait aside until Finish.
    EXPECT_EQ((std::vector<String>{L"a.dat", L"a.dat.qm1~", L"extra.log.qm0~", L"new\\", L"sub\\"}),
              Listing(m_live.Path()));
    EXPECT_EQ("live a", ReadTextFile(m_live / L"a.dat.qm1~"));

    set.Finish();
    EXPECT_EQ((std::vector<String>{L"a.dat", L"new\\", L"sub\\"}), Listing(m_live.Path()));
    EXPECT_EQ("live sub", ReadTextFile(m_live / L"sub\\kept.txt"));
    EXPECT_EQ((std::vector<String>{L"a.dat", L"c.dat"}), Listing(m_saved.Path())) << "the saved files are only read";
}

TEST_F(Replacement, ACopyThatFailsLeavesEveryLiveFileAsItWas)
{
    {
        // A saved file that another program holds without sharing cannot be read.
        const UniqueFileHandle held = Hold(m_saved / L"c.dat", 0);
        ASSERT_TRUE(held);
        ReplacementSet set;
        Fill(set);
        SetLastError(0);
        EXPECT_FALSE(set.Stage());
        EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
        EXPECT_EQ(m_saved / L"c.dat", set.FailedFrom());
        EXPECT_EQ(m_live / L"new\\c.dat", set.FailedTo());
    }
    // The staged copy of a.dat and the folder made for c.dat are gone with the set.
    ExpectLiveAsItWas();

    // A leftover of an earlier attempt is never overwritten: the next free name is taken.
    WriteTextFile(m_live / L"a.dat.qm0~", "leftover");
    {
        ReplacementSet set;
        Fill(set);
        ASSERT_TRUE(set.Stage());
        EXPECT_EQ("leftover", ReadTextFile(m_live / L"a.dat.qm0~"));
        EXPECT_EQ(std::string(300 * 1024, 'A'), ReadTextFile(m_live / L"a.dat.qm1~"));
    }
    EXPECT_EQ((std::vector<String>{L"a.dat", L"a.dat.qm0~", L"extra.log", L"sub\\"}), Listing(m_live.Path()));
}

TEST_F(Replacement, ARenameThatFailsPutsEveryLiveFileBack)
{
    // c.dat already live and held without delete sharing: it cannot be moved aside, after a.dat
    // was replaced. Then the same with an other file that cannot go.
    WriteTextFile(m_live / L"new\\c.dat", "live c");
    for (const String& held : {m_live / L"new\\c.dat", m_live / L"extra.log"})
    {
        {
            const UniqueFileHandle holder = Hold(held, FILE_SHARE_READ | FILE_SHARE_WRITE);
            ASSERT_TRUE(holder);
            ReplacementSet set;
            Fill(set);
            ASSERT_TRUE(set.Stage());
            SetLastError(0);
            EXPECT_FALSE(set.Commit()) << Strings::ToUtf8(held);
            EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
            EXPECT_EQ(held, set.FailedFrom());
            EXPECT_EQ(L"", set.NotPutBack());
            EXPECT_EQ("live a", ReadTextFile(m_live / L"a.dat"));
            EXPECT_EQ("live c", ReadTextFile(m_live / L"new\\c.dat"));
        }
        ExpectLiveAsItWas({L"a.dat", L"extra.log", L"new\\", L"sub\\"});
        EXPECT_EQ(std::vector<String>{L"c.dat"}, Listing(m_live / L"new"));
    }
}

TEST_F(Replacement, ASetLeftWithoutFinishUndoesItsCommit)
{
    {
        ReplacementSet set;
        Fill(set);
        ASSERT_TRUE(set.Stage());
        ASSERT_TRUE(set.Commit());
        // A step after the renames failed: the set goes without Finish.
    }
    ExpectLiveAsItWas();
}

TEST_F(Replacement, ATestRemovesOnlyTheOtherFilesItTakesAndEachOnce)
{
    WriteTextFile(m_live / L"edb00007.log", "another database's log");
    WriteTextFile(m_live / L"edb.chk", "checkpoint");
    const auto generationLog = [](const String& name) { return name.size() == 12 && name.compare(0, 3, L"edb") == 0; };
    const auto anyLog = [](const String& name) { return name.size() > 4 && name.compare(name.size() - 4, 4, L".log") == 0; };
    ReplacementSet set;
    set.Add(m_saved / L"a.dat", m_live / L"a.dat");
    set.RemoveOthersIn(m_live.Path(), generationLog);
    // A second test that takes the same log must not move it aside twice.
    set.RemoveOthersIn(m_live.Path() + L"\\", anyLog);
    ASSERT_TRUE(set.Stage());
    ASSERT_TRUE(set.Commit());
    set.Finish();
    EXPECT_EQ((std::vector<String>{L"a.dat", L"edb.chk", L"sub\\"}), Listing(m_live.Path()));
}
