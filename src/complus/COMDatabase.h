#pragma once
// The COM+ component: the platform's COM+ catalog writes its registration database into one
// file of the target directory, "comDB.reg", and reads it back on restore.

#include "common/Strings.h"

class COMDatabase
{
public:
    // The catalog's BackupREGDB into directory\comDB.reg. Throws COMDatabaseException when the
    // catalog cannot be created, fails, or reports success without writing the file;
    // std::bad_alloc when the file name cannot be copied.
    static void Backup(const String& directory);

    // The catalog's RestoreREGDB from directory\comDB.reg. Throws COMDatabaseException when the
    // catalog cannot be created or fails (a missing file is the catalog's failure, with its code).
    static void Restore(const String& directory);
};
