#pragma once
// Reading keys the way a backup reads them. Under the caller's backup privilege, an open with
// REG_OPTION_BACKUP_RESTORE is granted read access whatever the key's security says, so keys
// that only SYSTEM may read (some of the ones a restore carries over) are read too.

#include "handles/Handles.h"
#include "text/Strings.h"
#include "registry/RegistryKey.h"

#include <windows.h>

namespace LiveKeys
{
    // Opens root\path for reading with backup semantics; the call's code.
    inline LONG Open(HKEY root, const String& path, UniqueRegKey& key)
    {
        return RegOpenKeyExW(root, path.c_str(), REG_OPTION_BACKUP_RESTORE, KEY_READ, key.put());
    }

    // The same as a key wrapper; throws CRegistryKey::Exception as the wrapper's own open does.
    inline CRegistryKey OpenKey(HKEY root, const String& path)
    {
        UniqueRegKey key;
        const LONG status = Open(root, path, key);
        if (status != ERROR_SUCCESS)
            throw CRegistryKey::Exception(L"CRegistryKey::CRegistryKey(HKEY hKey ...)", static_cast<DWORD>(status));
        return CRegistryKey(key.release());
    }
}
