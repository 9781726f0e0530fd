#pragma once
// The boot-files component's manifest, "CoreBootSystemFilesBackupSet.xml": the system root, boot
// drive and all-users profile of the machine the backup was taken on. The restore finds the saved
// files again through them, whatever the current machine's paths are.

#include "xml/BackupSet.h"
#include "errors/Exceptions.h"
#include "text/Strings.h"

class CoreBootSystemFilesBackupSet : public BackupSet<CoreBootSystemFilesBackupSetException>
{
public:
    static constexpr const wchar_t* FileName = L"CoreBootSystemFilesBackupSet.xml";

    // Sets the path; reads and writes nothing.
    explicit CoreBootSystemFilesBackupSet(const String& directory);

    // Each getter gives the element's text (empty when the element is missing); each setter
    // changes the document in memory only, and does nothing when the element is missing.
    String GetSystemRoot() const;
    void SetSystemRoot(const String& systemRoot);
    // With its colon: "C:".
    String GetBootDriveLetter() const;
    void SetBootDriveLetter(const String& bootDrive);
    String GetAllUsersProfile() const;
    void SetAllUsersProfile(const String& allUsersProfile);
};
