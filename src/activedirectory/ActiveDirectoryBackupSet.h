#pragma once
// The directory component's manifest, "ActiveDirectoryBackupSet.xml": the expiry token of the
// backup (Base64, packed two characters to a UTF-16 unit) and the copied database and log files
// with their type markers and the paths they had, each list newest first.

#include "xml/BackupSet.h"
#include "errors/Exceptions.h"
#include "text/Strings.h"

#include <windows.h>

#include <vector>

struct BackupFileRecord
{
    String name;
    String original;
};

class ActiveDirectoryBackupSet : public BackupSet<ActiveDirectoryBackupSetException>
{
public:
    static constexpr const wchar_t* FileName = L"ActiveDirectoryBackupSet.xml";
    // Limits of what a manifest may hold, far above what a directory backup writes: files per
    // list, and characters of a recorded path (the longest path Windows has).
    static constexpr unsigned long MostFiles = 100000;
    static constexpr unsigned long MostPathCharacters = 32767;

    // Sets the path; reads and writes nothing.
    explicit ActiveDirectoryBackupSet(const String& directory);

    // Writes the token's length and packed text into <expiration>. Throws XmlException when the
    // manifest has no <expiration>.
    void SetExpiration(const BYTE* token, DWORD length);
    // The token as saved, in length + 1 bytes (the last one 0); empty with length 0 when the
    // manifest holds none. A recorded size larger than the token's text holds throws
    // ActiveDirectoryBackupSetException before anything is sized by it; a smaller one cuts the
    // token short.
    std::vector<BYTE> GetExpiration(DWORD& length) const;

    // Adds a <file> in front of the list, in memory only. Throws XmlException when the list
    // element is missing.
    void AddDatabaseFile(const String& name, const String& original, wchar_t marker);
    void AddLogFile(const String& name, const String& original, wchar_t marker);

    // The database file saved under name; an empty original when there is none (a name that
    // would make the query malformed, such as one holding an apostrophe, finds nothing).
    BackupFileRecord GetDatabaseFile(const String& name) const;

    // The list as entries (marker, original path, NUL each), in document order, without the
    // closing NUL of a whole list; children other than <file> elements are passed over. Throws
    // ActiveDirectoryBackupSetException for more than MostFiles files, a path longer than
    // MostPathCharacters, or a marker (bft) that is no number from 1 to 65535.
    String GetDatabaseFiles() const;
    String GetLogFiles() const;

private:
    void AddFile(const wchar_t* listPath, const String& name, const String& original, wchar_t marker);
    String GetFiles(const wchar_t* listPath) const;
};
