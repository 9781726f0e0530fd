// The shared pattern of the manifests, through the registry's and a sample one. Writing and
// reading back a manifest (its entries exactly, and unchanged by a restore) is driven by the
// lab's registry backup and restore tests.

#include "registry/RegistryBackupSet.h"

#include "errors/ErrorText.h"

#include "common/ScratchDirectory.h"

#include <gtest/gtest.h>

namespace
{
    QM_DECLARE_MODULE_EXCEPTION(SampleBackupSetException);

    const BackupSetSchema SampleSchema = {L"SampleBackupSet.xml", L"<BackupSet type='Sample'/>", {L"items"}, false};

    struct SampleBackupSet : BackupSet<SampleBackupSetException>
    {
        explicit SampleBackupSet(const String& directory) : BackupSet(directory, SampleSchema) {}
    };
}

TEST(BackupSet, FailuresNameWhatWasWrongAndCreateNothing)
{
    ScratchDirectory folder;
    WriteTextFile(folder / L"blocker", "not a folder");
    EXPECT_EQ(L"Could not create directory",
              MessageOf<RegistryBackupSetException>([&] { RegistryBackupSet(folder / L"blocker\\target").Open(); }));
    WriteTextFile(folder / L"nofiles\\RegistryBackupSet.xml", "<BackupSet type='Registry'/>");
    RegistryBackupSet set(folder / L"nofiles");
    set.Open();
    EXPECT_TRUE(set.GetFiles().empty());
    EXPECT_EQ(L"No element /BackupSet/files in " + folder / L"nofiles\\RegistryBackupSet.xml",
              MessageOf<RegistryBackupSetException>(
                  [&] { set.AddFile(L"C\\x", L"\\Device\\HarddiskVolume1\\x", L"\\REGISTRY\\MACHINE\\X"); }));
    // A schema that does not create its directory fails on a missing one, with the write's cause.
    EXPECT_EQ(L"Could not save xml file: " + folder / L"missing\\SampleBackupSet.xml\n" +
                  ErrorText::Format(ERROR_PATH_NOT_FOUND),
              MessageOf<SampleBackupSetException>([&] { SampleBackupSet(folder / L"missing").Open(); }));
    EXPECT_FALSE(IsDirectoryOnDisk(folder / L"missing"));
}

// A restore reads only what a backup of this kind left, and writes nothing. A missing folder or
// manifest, another component's type, a missing list and a broken file are refused in the lab's
// hostile test; here, a root element of another name.
TEST(BackupSet, OpenExistingRefusesAManifestOfAnotherRootAndLeavesIt)
{
    ScratchDirectory folder;
    const std::string manifest = "<Manifest type='Sample'><items/></Manifest>";
    WriteTextFile(folder / L"SampleBackupSet.xml", manifest);
    EXPECT_EQ(L"No sample backup in " + folder.Path(), MessageOf<SampleBackupSetException>([&] {
                  SampleBackupSet(folder.Path()).OpenExisting(L"No sample backup in %s");
              }));
    EXPECT_EQ(manifest, ReadTextFile(folder / L"SampleBackupSet.xml"));
}
