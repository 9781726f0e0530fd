#include "ScratchDirectory.h"

#include "errors/Exceptions.h"
#include "files/Directories.h"
#include "files/Files.h"
#include "files/Paths.h"
#include "files/ReplacementSet.h"
#include "files/SparseFileWriter.h"
#include "platform/EnvironmentVariables.h"

#include <algorithm>
#include <functional>
#include <map>
#include <tuple>
#include <vector>

namespace
{
    // Longer than the classic limit: ten levels of 40 characters.
    String DeepPath(String path)
    {
        for (int level = 0; level < 10; ++level)
            path += Strings::Format(L"\\level%02d_", level) + String(32, L'd');
        return path;
    }

    // The names in a folder, sorted, folders marked with a trailing backslash.
    std::vector<String> Listing(const String& folder)
    {
        std::vector<String> names;
        WIN32_FIND_DATAW entry;
        UniqueFindHandle search(FindFirstFileW((Paths::ToLongPath(folder) + L"\\*").c_str(), &entry));
        for (bool more = static_cast<bool>(search); more; more = FindNextFileW(search.get(), &entry))
            if (!Directories::IsDotEntry(entry.cFileName))
                names.push_back(String(entry.cFileName) + ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? L"\\" : L""));
        std::sort(names.begin(), names.end());
        return names;
    }
}

TEST(Paths, LongFormsRootsParentsAndWhatIsSameOrBelow)
{
    for (const auto& item : std::map<String, String>{{L"C:\\x", L"\\\\?\\C:\\x"},
                                                     {L"\\\\srv\\share\\x", L"\\\\?\\UNC\\srv\\share\\x"},
                                                     {L"\\\\?\\C:\\already", L"\\\\?\\C:\\already"},
                                                     {L"relative\\x", L"\\\\?\\UNC\\relative\\x"}})
        EXPECT_EQ(item.second, Paths::ToLongPath(item.first));
    EXPECT_TRUE(Paths::IsLongPath(L"prefix\\\\?\\C:\\") && !Paths::IsLongPath(L"C:\\x"));

    EXPECT_EQ(3, Paths::GetRootLength(L"C:\\Windows\\System32"));
    EXPECT_EQ(12, Paths::GetRootLength(L"\\\\srv\\share\\dir\\file"));
    EXPECT_EQ(18, Paths::GetRootLength(L"\\\\?\\UNC\\srv\\share\\dir"));
    for (const wchar_t* invalid : {L"C:", L"\\\\srv\\", L"relative\\path"})
        EXPECT_EQ(L"Path is invalid", MessageOf<FileSystemException>([&] { Paths::GetRootLength(invalid); }));

    for (const auto& root : std::map<String, bool>{{L"C:", true}, {L"C:\\", true}, {L"\\\\srv\\share", true},
                                                   {L"C:\\Windows", false}, {L"\\\\srv\\share\\dir", false}})
        EXPECT_EQ(root.second, Directories::IsRoot(root.first)) << Strings::ToUtf8(root.first);
    EXPECT_TRUE(Directories::Create(L"C:\\")) << "a root is there already";
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
    EXPECT_TRUE(Directories::IsDotEntry(L"..") && !Directories::IsDotEntry(L".profile"));

    // Same or below takes paths relative to the current folder, and never the parent or nothing.
    // The spellings of a target in a live folder (case, "..", long form, a trailing backslash,
    // another name of the folder) are refused through the backup's target rules (BackupTargetTest).
    ScratchDirectory scratch;
    const String live = scratch / L"Live";
    ASSERT_TRUE(Directories::Create(live + L"\\Logs\\Backup\\"));
    ASSERT_TRUE(Directories::Create(scratch / L"LiveSibling"));
    for (const String& outside : {scratch.Path(), scratch / L"Liv", String()})
        EXPECT_FALSE(Paths::IsSameOrBelow(live, outside)) << Strings::ToUtf8(outside);
    wchar_t previous[MAX_PATH];
    ASSERT_NE(0u, GetCurrentDirectoryW(MAX_PATH, previous));
    ASSERT_TRUE(SetCurrentDirectoryW(live.c_str()));
    EXPECT_TRUE(Paths::IsSameOrBelow(live, L"Logs\\Backup"));
    EXPECT_FALSE(Paths::IsSameOrBelow(live, L"..\\LiveSibling"));
    SetCurrentDirectoryW(previous);
}

TEST(FileSystemErrors, EmptyArgumentsAreRefusedAndAFileInTheWayIsReportedWithItsCode)
{
    // An empty argument would otherwise name the current folder to copy into or delete.
    const std::pair<const wchar_t*, std::function<void()>> cases[] = {
        {L"Destination file cannot be empty", [] { Files::Copy(L"C:\\some", L"", true); }},
        {L"File cannot be empty", [] { Files::Delete(L""); }},
        {L"Directory cannot be empty", [] { Directories::DeleteFiles(L"", L"*.*"); }},
        {L"Destination Directory cannot be empty", [] { Directories::Copy(L"C:\\some", L""); }},
        {L"File pattern cannot be empty", [] { Directories::DeleteFiles(L"C:\\some", L""); }},
    };
    for (const auto& testCase : cases)
        EXPECT_EQ(testCase.first, MessageOf<FileSystemException>(testCase.second));

    // A file in the way is reported with its code (a tree copied onto a file: the tree copies' test).
    ScratchDirectory scratch;
    WriteTextFile(scratch / L"source\\a.txt", "a");
    WriteTextFile(scratch / L"blocker", "file in the way");
    const std::tuple<const char*, std::function<bool()>, DWORD> inTheWay[] = {
        {"Create onto a file", [&] { return !Directories::Create(scratch / L"blocker"); }, ERROR_ALREADY_EXISTS},
        {"Copy file below a file",
         [&] { return !Files::Copy(scratch / L"source\\a.txt", scratch / L"blocker\\a.txt", true); }, ERROR_ALREADY_EXISTS},
        {"Create below a file", [&] { return !Directories::Create(scratch / L"blocker\\below"); }, ERROR_PATH_NOT_FOUND},
    };
    for (const auto& testCase : inTheWay)
    {
        SetLastError(0xdeadbeef);
        EXPECT_TRUE(std::get<1>(testCase)()) << std::get<0>(testCase);
        EXPECT_EQ(std::get<2>(testCase), GetLastError()) << std::get<0>(testCase);
    }
}

// Files at the copy buffer's steps (a short read ends a file only once it is all in) and below a
// path longer than the classic limit, copied into a tree that holds some of them already; names
// beginning with a dot stay behind, and a folder whose name a file holds stops the copy.
TEST(Directories, TreeCopiesAreWholeAtBufferEdgesDeepAndIntoFoldersAlreadyThere)
{
    ScratchDirectory scratch;
    const size_t sizes[] = {0, 1, 65535, 65536, 65537, 196608, 262143, 262144, 262145, 600 * 1024 + 7};
    std::map<String, std::string> files = {{DeepPath(L"old") + L"\\data.bin", "deep"}, {L"old\\readonly.txt", "ro"}};
    for (int index = 0; index < static_cast<int>(std::size(sizes)); ++index)
    {
        std::string& data = files[Strings::Format(index % 2 ? L"old\\f%02d.bin" : L"old\\new\\f%02d.bin", index)];
        for (size_t at = 0; at < sizes[index]; ++at)
            data += static_cast<char>('a' + (at * 7 + index) % 26);
    }
    for (const auto& file : files)
        WriteTextFile(scratch / (L"source\\" + file.first), file.second);
    SetFileAttributesW(Paths::ToLongPath(scratch / L"source\\old\\readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    WriteTextFile(scratch / L"source\\old\\.profile", "hidden");
    ASSERT_TRUE(Directories::Create(scratch / L"source\\old\\.cache\\inner"));
    WriteTextFile(scratch / L"source\\blocked\\inner.txt", "inner");
    WriteTextFile(scratch / L"copy\\old\\f01.bin", "stale");
    ASSERT_TRUE(Directories::Create(scratch / L"copy\\old\\new"));

    ASSERT_EQ(0u, Directories::Copy(scratch / L"source\\old", scratch / L"copy\\old\\"));
    for (const auto& file : files)
        EXPECT_EQ(file.second, ReadTextFile(scratch / (L"copy\\" + file.first))) << Strings::ToUtf8(file.first);
    EXPECT_FALSE(Paths::Exists(scratch / L"copy\\old\\.profile") || Paths::Exists(scratch / L"copy\\old\\.cache"));

    WriteTextFile(scratch / L"copy\\blocked", "a file");
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), Directories::Copy(scratch / L"source", scratch / L"copy"));
    EXPECT_EQ("a file", ReadTextFile(scratch / L"copy\\blocked"));

    ASSERT_TRUE(Directories::Delete(scratch / L"source\\"));
    EXPECT_FALSE(Paths::Exists(scratch / L"source"));
    // Nothing to copy from: nothing copied, and no error.
    EXPECT_EQ(0u, Directories::Copy(scratch / L"source", scratch / L"again"));
    EXPECT_FALSE(Paths::Exists(scratch / L"again\\old"));
}

// A file is replaced only by a whole copy made beside it: when it cannot be replaced (here: held
// open without delete sharing) it stays as it was, and nothing is left beside it. Tree copies go
// through the same copy of each file.
TEST(Files, CopyMakesTheFolderHonoursOverwriteAndReplacesOnlyByAWholeCopy)
{
    ScratchDirectory scratch;
    const String source = scratch / L"data.bin";
    const String target = DeepPath(scratch / L"out") + L"\\data.bin";
    const auto leftBeside = [&] {
        WIN32_FIND_DATAW entry;
        return static_cast<bool>(UniqueFindHandle(FindFirstFileW(Paths::ToLongPath(target + L".qm*").c_str(), &entry)));
    };
    WriteTextFile(source, "first");
    ASSERT_TRUE(Files::Copy(source, target, false));
    WriteTextFile(source, std::string(600 * 1024, 'x'));
    EXPECT_FALSE(Files::Copy(source, target, false));
    EXPECT_EQ("first", ReadTextFile(target));
    UniqueFileHandle held(CreateFileW(Paths::ToLongPath(target).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    EXPECT_FALSE(Files::Copy(source, target, true));
    EXPECT_EQ("first", ReadTextFile(target));
    EXPECT_FALSE(leftBeside());
    held.reset();
    EXPECT_TRUE(Files::Copy(source, target, true));
    EXPECT_EQ(std::string(600 * 1024, 'x'), ReadTextFile(target));
    EXPECT_FALSE(leftBeside());

    EXPECT_FALSE(Files::Copy(scratch / L"missing.txt", scratch / L"b.txt", true));
    EXPECT_FALSE(Files::Exists(scratch / L"b.txt"));
}

TEST(EnvironmentVariables, ExpandsWholeExpansionsLongerThanTheClassicLimit)
{
    const String value = L"C:\\" + String(300, L'x');
    const String name = Unique(L"QMTEST_ROOT_");
    ASSERT_TRUE(SetEnvironmentVariableW(name.c_str(), value.c_str()));
    EnvironmentVariables environment;
    String expanded = L"sentinel";
    EXPECT_EQ(S_OK, environment.Expand(L"C:\\plain\\path", expanded));
    EXPECT_EQ(L"C:\\plain\\path", expanded);
    EXPECT_EQ(S_OK, environment.Expand(L"%" + name + L"%\\tail", expanded));
    EXPECT_EQ(value + L"\\tail", expanded);
    EXPECT_EQ(L"", environment.GetError());
    SetEnvironmentVariableW(name.c_str(), nullptr);
}

// A file above 4 GiB that ends in zeros is copied whole and sparse in the lab (lab.certsrv).
TEST(SparseFileWriter, FilesReadBackByteForByteAndZeroBlocksAreNotWritten)
{
    ScratchDirectory scratch;
    const size_t block = 64 * 1024;
    // A file of `length` zeros with 'x' at `marks`, handed to the writer in pieces of `piece`.
    const struct { const char* name; size_t length; std::vector<size_t> marks; DWORD piece; } cases[] = {
        // Pieces that straddle blocks; a zero run inside one piece, and one across pieces.
        {"mixed", 5 * block + 123, {0, block - 1, 3 * block + 7, 5 * block + 122}, 100000},
        {"all zeros", 3 * block + 5, {}, 512 * 1024},
        {"empty", 0, {}, 4096},
    };
    for (const auto& test : cases)
    {
        SCOPED_TRACE(test.name);
        std::string content(test.length, '\0');
        for (size_t mark : test.marks)
            content[mark] = 'x';
        const String path = scratch / Strings::FromUtf8(test.name);
        UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
        ASSERT_TRUE(file);
        SparseFileWriter writer(file.get());
        for (size_t at = 0; at < content.size(); at += test.piece)
            ASSERT_TRUE(writer.Write(&content[at], static_cast<DWORD>(std::min<size_t>(test.piece, content.size() - at))));
        ASSERT_TRUE(writer.Finish());
        file.reset();
        EXPECT_TRUE(ReadTextFile(path) == content) << "read back " << ReadTextFile(path).size() << " bytes";
    }
    // Without write access only a skipped block gets through, and an end that cannot be set fails Finish.
    const String readOnly = scratch / L"readonly.bin";
    WriteTextFile(readOnly, "");
    UniqueFileHandle file(CreateFileW(readOnly.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
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
    EXPECT_EQ("", ReadTextFile(readOnly));
}

// How a set fails and is undone at each step is driven through the restores in a lab machine
// (lab.reliability, lab.sysvol_complus); here, the names it takes and the files it takes away.
TEST(ReplacementSet, TakesFreeNamesBesideTheLiveFilesAndRemovesEachOtherFileOnce)
{
    ScratchDirectory live(L"ReplacementLive"), saved(L"ReplacementSaved");
    WriteTextFile(live / L"a.dat", "live a");
    WriteTextFile(saved / L"a.dat", std::string(300 * 1024, 'A'));
    // A leftover of an earlier attempt is never overwritten.
    WriteTextFile(live / L"a.dat.qm0~", "leftover");
    WriteTextFile(live / L"edb00007.log", "another database's log");
    WriteTextFile(live / L"edb.chk", "checkpoint");
    WriteTextFile(live / L"sub\\kept.txt", "live sub");
    const auto generationLog = [](const String& name) { return name.size() == 12 && name.compare(0, 3, L"edb") == 0; };
    const auto anyLog = [](const String& name) { return name.size() > 4 && name.compare(name.size() - 4, 4, L".log") == 0; };
    ReplacementSet set;
    set.Add(saved / L"a.dat", live / L"a.dat");
    set.RemoveOthersIn(live.Path(), generationLog);
    // A second test that takes the same log must not move it aside twice.
    set.RemoveOthersIn(live.Path() + L"\\", anyLog);
    ASSERT_TRUE(set.Stage());
    // Staged in the live folder itself: the renames stay on one volume.
    EXPECT_EQ("leftover", ReadTextFile(live / L"a.dat.qm0~"));
    EXPECT_EQ(std::string(300 * 1024, 'A'), ReadTextFile(live / L"a.dat.qm1~"));
    ASSERT_TRUE(set.Commit());
    set.Finish();
    EXPECT_EQ((std::vector<String>{L"a.dat", L"a.dat.qm0~", L"edb.chk", L"sub\\"}), Listing(live.Path()));
    EXPECT_EQ(std::string(300 * 1024, 'A'), ReadTextFile(live / L"a.dat"));
    EXPECT_EQ("leftover", ReadTextFile(live / L"a.dat.qm0~"));
}
