// The SysVol manifest's link entries. The backup and restore that write and read them are driven
// by the lab's SysVol test.

#include "sysvol/SystemVolumeBackupSet.h"

#include "common/FileSystem.h"
#include "common/ScratchDirectory.h"

#include <gtest/gtest.h>

TEST(SystemVolumeBackupSet, LinksComeBackFromTheSavedManifestInTheirOrder)
{
    ScratchDirectory folder;
    const std::vector<SystemVolumeLink> links = {
        {L"sysvol\\example.com", L"domain"},
        {L"staging areas\\<R&D> 'Zürich' \"Δ\"", L"staging\\domain"},
        {L"odd", L""},
    };
    {
        SystemVolumeBackupSet written(folder.Path());
        written.Open();
        written.SetDirectory(L"C\\WINDOWS\\SysVol");
        for (const SystemVolumeLink& link : links)
            written.AddLink(link);
        ASSERT_TRUE(written.Save());
    }
    SystemVolumeBackupSet read(folder.Path());
    read.OpenExisting(L"No SysVol backup in %s");
    EXPECT_EQ(L"C\\WINDOWS\\SysVol", read.GetDirectory());
    const std::vector<SystemVolumeLink> readLinks = read.GetLinks(64);
    ASSERT_EQ(links.size(), readLinks.size());
    for (size_t i = 0; i < links.size(); ++i)
    {
        EXPECT_EQ(links[i].path, readLinks[i].path) << i;
        EXPECT_EQ(links[i].target, readLinks[i].target) << i;
    }
}

TEST(SystemVolumeBackupSet, AManifestWithoutLinksHasNone)
{
    ScratchDirectory folder;
    WriteTextFile(folder / L"SystemVolumeBackupSet.xml",
                  "<BackupSet type=\"SystemVolume\"><directory>C\\WINDOWS\\SysVol</directory><other/></BackupSet>");
    SystemVolumeBackupSet read(folder.Path());
    read.OpenExisting(L"No SysVol backup in %s");
    EXPECT_EQ(L"C\\WINDOWS\\SysVol", read.GetDirectory());
    EXPECT_TRUE(read.GetLinks(64).empty());
}

TEST(SystemVolumeBackupSet, ALinkListPastItsLimitIsReadOnlyOnePast)
{
    ScratchDirectory folder;
    std::string text = "<BackupSet type=\"SystemVolume\"><directory>C\\WINDOWS\\SysVol</directory>";
    for (int link = 0; link < 1000; ++link)
        text += "<link target=\"domain\">sysvol\\d" + std::to_string(link) + "</link>";
    WriteTextFile(folder / L"SystemVolumeBackupSet.xml", text + "</BackupSet>");
    SystemVolumeBackupSet read(folder.Path());
    read.OpenExisting(L"No SysVol backup in %s");
    const std::vector<SystemVolumeLink> links = read.GetLinks(64);
    ASSERT_EQ(65u, links.size());
    EXPECT_EQ(L"sysvol\\d64", links.back().path);
    EXPECT_EQ(1000u, read.GetLinks(5000).size());
}
