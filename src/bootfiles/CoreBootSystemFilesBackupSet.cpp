#include "bootfiles/CoreBootSystemFilesBackupSet.h"

namespace
{
    const wchar_t* const SystemRootPath = L"/BackupSet/systemroot";
    const wchar_t* const BootDrivePath = L"/BackupSet/bootdriveletter";
    const wchar_t* const AllUsersProfilePath = L"/BackupSet/allusersprofile";

    // The component object creates the target before a backup, so Open never does.
    const BackupSetSchema CoreBootSchema = {CoreBootSystemFilesBackupSet::FileName,
                                            L"<BackupSet type='CoreBootSystemFiles'/>",
                                            {L"systemroot", L"bootdriveletter", L"allusersprofile"},
                                            false};
}

CoreBootSystemFilesBackupSet::CoreBootSystemFilesBackupSet(const String& directory)
    : BackupSet(directory, CoreBootSchema)
{
}

String CoreBootSystemFilesBackupSet::GetSystemRoot() const
{
    return GetElementText(SystemRootPath);
}

void CoreBootSystemFilesBackupSet::SetSystemRoot(const String& systemRoot)
{
    SetElementText(SystemRootPath, systemRoot);
}

String CoreBootSystemFilesBackupSet::GetBootDriveLetter() const
{
    return GetElementText(BootDrivePath);
}

void CoreBootSystemFilesBackupSet::SetBootDriveLetter(const String& bootDrive)
{
    SetElementText(BootDrivePath, bootDrive);
}

String CoreBootSystemFilesBackupSet::GetAllUsersProfile() const
{
    return GetElementText(AllUsersProfilePath);
}

void CoreBootSystemFilesBackupSet::SetAllUsersProfile(const String& allUsersProfile)
{
    SetElementText(AllUsersProfilePath, allUsersProfile);
}
