// The SysVol manifest's link entries. The backup and restore that write and read them are driven
// by the lab's SysVol test, one link past the limit by the hostile test.

#include "sysvol/SystemVolumeBackupSet.h"

#include "common/ScratchDirectory.h"

// A manifest may list any number of links: reading stops one past the limit, so that a list
// past it is refused without reading it whole.
TEST(SystemVolumeBackupSet, LinksAreReadUpToOnePastTheLimitAndNoneWhereThereAreNone)
{
    ScratchDirectory folder;
    const String none = folder / L"none";
    WriteTextFile(none + L"\\SystemVolumeBackupSet.xml",
                  "<BackupSet type=\"SystemVolume\"><directory>C\\WINDOWS\\SysVol</directory><other/></BackupSet>");
    SystemVolumeBackupSet withoutLinks(none);
    withoutLinks.OpenExisting(L"No SysVol backup in %s");
    EXPECT_EQ(L"C\\WINDOWS\\SysVol", withoutLinks.GetDirectory());
    EXPECT_TRUE(withoutLinks.GetLinks(64).empty());

    std::string text = "<BackupSet type=\"SystemVolume\"><directory>C\\WINDOWS\\SysVol</directory>";
    for (int link = 0; link < 1000; ++link)
        text += "<link target=\"domain\">sysvol\\d" + std::to_string(link) + "</link>";
    WriteTextFile(folder / L"SystemVolumeBackupSet.xml", text + "</BackupSet>");
    SystemVolumeBackupSet read(folder.Path());
    read.OpenExisting(L"No SysVol backup in %s");
    const std::vector<SystemVolumeLink> links = read.GetLinks(64);
    ASSERT_EQ(65u, links.size());
    EXPECT_EQ(L"sysvol\\d0", links.front().path);
    EXPECT_EQ(L"domain", links.front().target);
    EXPECT_EQ(L"sysvol\\d64", links.back().path);
    EXPECT_EQ(1000u, read.GetLinks(5000).size());
}
