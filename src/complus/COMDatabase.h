#pragma once
// The COM+ component: the platform's COM+ catalog writes its registration database into one
// file of the target directory, "comDB.reg", and reads it back on restore.

#include "text/Strings.h"

class COMDatabase
{
public:
    // The one file of the backup, at the top of the target.
    static constexpr const wchar_t* FileName = L"comDB.reg";

    // The catalog's BackupREGDB into directory\comDB.reg. Throws COMDatabaseException when the
    // catalog cannot be created, fails, or reports success without writing the file;
    // std::bad_alloc when the file name cannot be copied.
    static void Backup(const String& directory);

    // The catalog's RestoreREGDB from directory\comDB.reg. Throws COMDatabaseException, before
    // the catalog is created, when the file is missing ("No COM+ database backup in %s"), a
    // folder, a link or other reparse point, or larger than 256 MiB; and when the catalog cannot
    // be created or fails.
    static void Restore(const String& directory);
};
