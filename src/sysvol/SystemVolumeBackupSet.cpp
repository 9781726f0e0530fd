#include "sysvol/SystemVolumeBackupSet.h"

namespace
{
    const wchar_t* const DirectoryPath = L"/BackupSet/directory";

    const BackupSetSchema SystemVolumeSchema = {
        SystemVolumeBackupSet::FileName, L"<BackupSet type='SystemVolume'/>", {L"directory"}, false};
}

SystemVolumeBackupSet::SystemVolumeBackupSet(const String& directory) : BackupSet(directory, SystemVolumeSchema)
{
}

String SystemVolumeBackupSet::GetDirectory() const
{
    return GetElementText(DirectoryPath);
}

void SystemVolumeBackupSet::SetDirectory(const String& relativeCopyPath)
{
    SetElementText(DirectoryPath, relativeCopyPath);
}
