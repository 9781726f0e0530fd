#pragma once
// The SysVol component's manifest, "SystemVolumeBackupSet.xml": one <directory> element that
// locates the copy below the target's "SysVol" folder.

#include "common/BackupSet.h"
#include "common/Exceptions.h"
#include "common/Strings.h"

class SystemVolumeBackupSet : public BackupSet<SystemVolumeBackupSetException>
{
public:
    static constexpr const wchar_t* FileName = L"SystemVolumeBackupSet.xml";

    // Sets the path; reads and writes nothing.
    explicit SystemVolumeBackupSet(const String& directory);

    // Text of /BackupSet/directory; empty when the element is missing or has no text.
    String GetDirectory() const;
    // In memory only; does nothing when the element is missing.
    void SetDirectory(const String& relativeCopyPath);
};
