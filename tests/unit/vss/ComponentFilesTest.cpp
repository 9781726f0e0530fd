// Where a writer component's files are in a shadow copy and in a backup folder, which files a
// descriptor's file pattern takes, and where an alternate location mapping sends one. The lab's VSS
// test backs up a database on the system volume's root snapshot, below C:\WINDOWS\NTDS.

#include "vss/ComponentFiles.h"

#include "vss/VssClientException.h"

#include "common/ScratchDirectory.h"

#include <algorithm>

TEST(ComponentFiles, ABackupMirrorsTheLivePathBelowNtds)
{
    EXPECT_EQ(L"E:\\b\\ntds\\D", ComponentFiles::InBackup(L"E:\\b", L"D:\\"));
    EXPECT_EQ(L"The writer names the folder \\\\srv\\share\\db, which has no drive letter; it cannot be backed up",
              MessageOf<VssClientException>([] { ComponentFiles::InBackup(L"E:\\b", L"\\\\srv\\share\\db"); }));
    EXPECT_EQ(L"E:\\b\\ntds", ComponentFiles::ComponentFolder(L"E:\\b\\"));
}

TEST(ComponentFiles, ASnapshotShowsTheVolumeBelowItsDevice)
{
    const String device = L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy3";
    // A volume mounted in a folder: the part below its mount point.
    EXPECT_EQ(device + L"\\data", ComponentFiles::InSnapshot(L"C:\\mnt\\vol\\data", L"C:\\mnt\\vol\\", device));
}

TEST(ComponentFiles, AFilePatternTakesMatchingNamesAndRecursesOnlyWhenTold)
{
    ScratchDirectory folder;
    for (const wchar_t* name : {L"edb00001.log", L"edb.chk", L"ntds.dit", L"edb.log.old", L"sub\\edb00009.log",
                                L"sub\\deeper\\edb0000A.log"})
        WriteTextFile(folder / name, "x");
    auto sorted = [](std::vector<String> names) {
        std::sort(names.begin(), names.end());
        return names;
    };
    EXPECT_EQ((std::vector<String>{L"edb00001.log"}),
              sorted(ComponentFiles::Matching(folder.Path(), L"edb*.log", false)));
    EXPECT_EQ((std::vector<String>{L"edb00001.log", L"sub\\deeper\\edb0000A.log", L"sub\\edb00009.log"}),
              sorted(ComponentFiles::Matching(folder.Path() + L"\\", L"edb*.log", true)));
    EXPECT_EQ((std::vector<String>{L"edb.chk", L"ntds.dit"}),
              sorted(ComponentFiles::Matching(folder.Path(), L"*.dit;*.chk", false)));
    EXPECT_EQ(std::vector<String>{}, ComponentFiles::Matching(folder / L"none", L"*", true));
}

// The lab's VSS test restores a database to the location its writer maps it to; here, what a
// mapping does not cover.
TEST(ComponentFiles, AnAlternateLocationMappingCoversOnlyItsFolderAndPattern)
{
    const FileDescriptor descriptor{L"C:\\windows\\ntds", L"*.dit", false, L""};
    FileDescriptor mapping{L"C:\\WINDOWS\\NTDS\\", L"ntds.dit", false, L"D:\\moved\\"};
    EXPECT_TRUE(ComponentFiles::IsMapped(mapping, descriptor, L"ntds.dit"));
    EXPECT_FALSE(ComponentFiles::IsMapped(mapping, descriptor, L"other.dit"));
    EXPECT_FALSE(ComponentFiles::IsMapped(mapping, descriptor, L"sub\\ntds.dit"));
    EXPECT_FALSE(ComponentFiles::IsMapped({L"C:\\windows\\nt", L"*", true, L"D:\\x"}, descriptor, L"ntds.dit"));

    mapping.recursive = true;
    EXPECT_TRUE(ComponentFiles::IsMapped(mapping, descriptor, L"sub\\ntds.dit"));
    EXPECT_EQ(L"D:\\moved\\sub\\ntds.dit", ComponentFiles::AlternatePath(mapping, descriptor, L"sub\\ntds.dit"));
}
