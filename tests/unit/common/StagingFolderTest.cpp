// The staging folder: the decision on a folder of another owner found there, with injected answers;
// the list a new root gets and what it keeps out, read back from the folder; and the inheritance a
// new file or folder would get, which a staged file that is new to its folder takes. The read-back
// checks ask only what Wine can show (ScratchDirectory.h): who besides the owner is let in.

#include "ScratchDirectory.h"

#include "errors/Exceptions.h"
#include "handles/Handles.h"
#include "files/StagingFolder.h"
#include "privileges/Privileges.h"

#include <vector>

using namespace FileSecurity;

namespace
{
    // SDDL as the converter writes it, so that two spellings of one descriptor compare equal.
    String Normal(const String& sddl)
    {
        const UniqueLocalMemory descriptor = FromSddl(sddl);
        return ToSddl(descriptor.get());
    }

    class StagingFolderFiles : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            // Security of any owner is written through the restore privilege, as ssbr holds it.
            Privileges::Enable(SE_RESTORE_NAME);
            Privileges::Enable(SE_BACKUP_NAME);
            // A volume root where anyone may do anything, as users may create folders at C:\.
            SetList(m_volume.Path(), L"D:(A;OICI;FA;;;WD)");
            ASSERT_TRUE(GrantsEveryone(SddlOf(m_volume.Path()))) << "the scratch folder keeps everyone out already";
        }

        ScratchDirectory m_volume;
        const String m_root = m_volume / StagingFolder::Name;
    };
}

// A file there is refused in the lab (lab.reliability); a link and the owner only here: Wine shows
// every file as the running account's.
TEST(StagingFolderDecision, RefusesALinkAndAFolderOfAnotherOwnerNamingIt)
{
    const String path = L"C:\\SystemStateRestore\\C";
    const auto message = [&](DWORD attributes, const String& owner) {
        PSID sid = nullptr;
        if (!owner.empty())
            ConvertStringSidToSidW(owner.c_str(), &sid);
        const UniqueLocalMemory sidOwner(sid);
        return MessageOf<FileSystemException>([&] { StagingFolder::CheckExisting(path, attributes, sid); });
    };
    const auto refusal = [&](const String& why) {
        return L"Refused the staging folder " + path + L": " + why +
               L". Nothing was staged there; remove it and run the restore again.";
    };
    const DWORD folder = FILE_ATTRIBUTE_DIRECTORY;
    // A link is refused even when Administrators own it: what is staged would land elsewhere.
    EXPECT_EQ(refusal(L"it is a link"), message(folder | FILE_ATTRIBUTE_REPARSE_POINT, L"S-1-5-32-544"));
    // Users, another account of the machine, everyone, no owner at all.
    for (const String& owner : {String(L"S-1-5-32-545"), String(L"S-1-5-21-1004336348-1177238915-682003330-1005"),
                                String(L"S-1-1-0"), String()})
        EXPECT_EQ(refusal(L"it belongs to " + (owner.empty() ? String(L"no one") : owner) +
                          L", not to Administrators or SYSTEM"),
                  message(folder, owner));

    // Administrators, SYSTEM, and the account that runs the restore.
    for (const String& owner : {String(L"S-1-5-32-544"), String(L"S-1-5-18"), UserSid()})
        EXPECT_EQ(L"(nothing thrown)", message(folder, owner)) << Strings::ToUtf8(owner);
}

TEST_F(StagingFolderFiles, ANewRootLetsInOnlyAdministratorsAndSystemAndItsFoldersFollow)
{
    EXPECT_EQ(Normal(L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)"), ToSddl(StagingFolder::RootSecurity().data()));

    StagingFolder::Folders folders;
    StagingFolder::Prepare(m_root, m_root + L"\\C\\WINDOWS", folders);
    EXPECT_EQ((std::vector<String>{m_root, m_root + L"\\C", m_root + L"\\C\\WINDOWS"}), folders.ready);
    EXPECT_EQ(folders.ready, folders.created);
    // That each keeps everyone out is read back in the lab (lab.registry_restore, lab.bootfiles).
    EXPECT_TRUE(IsDirectoryOnDisk(m_root + L"\\C\\WINDOWS"));

    // Found again, made by us: taken, its list made protected again, nothing checked twice.
    SetList(m_root, L"D:(A;OICI;FA;;;WD)");
    folders = StagingFolder::Folders();
    StagingFolder::Prepare(m_root, m_root + L"\\C", folders);
    EXPECT_EQ((std::vector<String>{m_root, m_root + L"\\C"}), folders.ready);
    EXPECT_TRUE(folders.created.empty());
    EXPECT_FALSE(GrantsEveryone(SddlOf(m_root))) << Strings::ToUtf8(SddlOf(m_root));
    StagingFolder::Prepare(m_root, m_root + L"\\C", folders);
    EXPECT_EQ(2u, folders.ready.size());

    // What a failed restore made goes again, what was there stays.
    StagingFolder::Prepare(m_root, m_root + L"\\C\\WINDOWS\\system32", folders);
    EXPECT_EQ((std::vector<String>{m_root + L"\\C\\WINDOWS\\system32"}), folders.created);
    SetLastError(0xDEADBEEF);
    StagingFolder::RemoveCreated(folders);
    EXPECT_EQ(0xDEADBEEFu, GetLastError());
    EXPECT_FALSE(IsDirectoryOnDisk(m_root + L"\\C\\WINDOWS\\system32"));
    EXPECT_TRUE(IsDirectoryOnDisk(m_root + L"\\C\\WINDOWS"));
}

// A file where a folder should be is refused in the lab (lab.reliability, lab.bootfiles); a folder
// outside the root is not made at all.
TEST_F(StagingFolderFiles, AFolderOutsideTheRootIsRefusedAndANewStagedFileTakesWhatItsLiveFolderPassesOn)
{
    StagingFolder::Folders folders;
    const String outside = m_volume / L"SystemStateRestoreX";
    EXPECT_EQ(outside + L" is not below " + m_root,
              MessageOf<FileSystemException>([&] { StagingFolder::Prepare(m_root, outside, folders); }));
    EXPECT_FALSE(IsDirectoryOnDisk(outside));

    // The security a staged file carries from its live file, or from a live folder that keeps
    // everyone out, is read back in the lab (lab.bootfiles); here the live file is new in folders
    // the backup has and the live system does not, which are not made for the question.
    StagingFolder::Prepare(m_root, m_root + L"\\C", folders);
    const String staged = m_root + L"\\C\\file.dll";
    WriteTextFile(staged, "saved");
    SetList(staged, L"D:(A;;FA;;;SY)(A;;FA;;;WD)");
    const String liveFolder = m_volume / L"keys";
    ASSERT_TRUE(CreateDirectoryW(liveFolder.c_str(), nullptr));
    SetList(liveFolder, L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;" + UserSid() + L")");
    StagingFolder::CarrySecurity(liveFolder + L"\\S-1-5-18\\User\\new.key", staged);
    EXPECT_FALSE(GrantsEveryone(SddlOf(staged))) << Strings::ToUtf8(SddlOf(staged));
    EXPECT_EQ("saved", ReadTextFile(staged));
    EXPECT_FALSE(IsDirectoryOnDisk(liveFolder + L"\\S-1-5-18"));
}

TEST(StagingFolderInherit, ANewFileOrFolderGetsWhatItsParentPassesOn)
{
    // SYSTEM to all below; "creator owner" with generic rights to all below, not to the folder;
    // users to folders only; everyone reads files only; Administrators to children only, not
    // further; an entry that passes to no one; guests denied writing files.
    const String parent = L"O:BAG:SYD:AI(A;OICI;FA;;;SY)(A;OICIIO;GA;;;CO)(A;CI;0x1200a9;;;BU)(A;OI;FR;;;WD)"
                          L"(A;OICINP;FA;;;BA)(A;;FA;;;S-1-5-21-1-2-3-4)(D;OI;FW;;;BG)";
    const UniqueLocalMemory descriptor = FromSddl(parent);

    // A file: what applies to it, marked inherited, "creator owner" as its owner with the file
    // rights that generic all means.
    EXPECT_EQ(Normal(L"O:BAG:SYD:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;FR;;;WD)(A;ID;FA;;;BA)(D;ID;FW;;;BG)"),
              ToSddl(StagingFolder::Inherit(descriptor.get(), false).data()));

    // A folder also keeps what its children inherit: "creator owner" stays for them, the
    // files-only entries pass through, the no-further entry stops at it.
    StagingFolder::Descriptor folder = StagingFolder::Inherit(descriptor.get(), true);
    EXPECT_EQ(Normal(L"O:BAG:SYD:AI(A;OICIID;FA;;;SY)(A;ID;FA;;;BA)(A;OICIIOID;GA;;;CO)(A;CIID;0x1200a9;;;BU)"
                     L"(A;OIIOID;FR;;;WD)(A;ID;FA;;;BA)(D;OIIOID;FW;;;BG)"),
              ToSddl(folder.data()));

    // A file in that folder: the no-further entry is not there any more.
    EXPECT_EQ(Normal(L"O:BAG:SYD:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;FR;;;WD)(D;ID;FW;;;BG)"),
              ToSddl(StagingFolder::Inherit(folder.data(), false).data()));

    // "Creator group" is the group; a parent without a list passes none, and keeps the owner.
    const UniqueLocalMemory grouped = FromSddl(L"O:BAG:SYD:(A;OI;FR;;;CG)");
    EXPECT_EQ(Normal(L"O:BAG:SYD:(A;ID;FR;;;SY)"), ToSddl(StagingFolder::Inherit(grouped.get(), false).data()));
    const UniqueLocalMemory unlisted = FromSddl(L"O:BAG:SY");
    EXPECT_EQ(L"O:BAG:SY", ToSddl(StagingFolder::Inherit(unlisted.get(), false).data()));
}
