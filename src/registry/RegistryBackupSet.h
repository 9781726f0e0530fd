#pragma once
// The registry component's manifest, "RegistryBackupSet.xml": one <file> element per saved
// hive below <files>, newest first.

#include "xml/BackupSet.h"
#include "errors/Exceptions.h"
#include "text/Strings.h"

#include <windows.h>

#include <vector>

// One saved hive: where its copy lies below the target's "Reg" folder, the NT path of the live
// hive file, and the hive's registry path (\REGISTRY\MACHINE\... or \REGISTRY\USER\...).
class HiveFileEntry
{
public:
    HiveFileEntry(const String& filepath, const String& hivefile, const String& hivepath)
        : m_filepath(filepath), m_hivefile(hivefile), m_hivepath(hivepath)
    {
    }

    const String& GetFilePath() const { return m_filepath; }
    const String& GetHiveFile() const { return m_hivefile; }
    const String& GetHivePath() const { return m_hivepath; }

    // HKEY_LOCAL_MACHINE or HKEY_USERS from the hive path's prefix (any case); null otherwise.
    HKEY GetRootKey() const;
    // The hive path without that prefix ("SOFTWARE", a user's SID); empty for another prefix.
    String GetSubkey() const;
    // "TMP_" + GetSubkey(): the key a saved hive is loaded under while it is prepared.
    String GetTemporaryName() const;

private:
    String m_filepath;
    String m_hivefile;
    String m_hivepath;
};

using HiveFileList = std::vector<HiveFileEntry>;

class RegistryBackupSet : public BackupSet<RegistryBackupSetException>
{
public:
    static constexpr const wchar_t* FileName = L"RegistryBackupSet.xml";

    // Sets the path; reads and writes nothing.
    explicit RegistryBackupSet(const String& directory);

    // Adds a <file> element in front of the existing ones, in memory only. Throws
    // RegistryBackupSetException when the manifest has no /BackupSet/files element.
    HiveFileEntry AddFile(const String& filepath, const String& hivefile, const String& hivepath);

    // The <file> elements in document order (newest first); anything else below <files> is not
    // an entry. Missing attributes read as empty, a manifest without /BackupSet/files lists
    // nothing.
    HiveFileList GetFiles() const;
};
