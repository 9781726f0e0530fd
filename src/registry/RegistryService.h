#pragma once
// The registry component. The key-tree copy lives here because the hive restore uses it to carry
// keys that must not be restored from the live registry into a saved hive.

#include "common/Exceptions.h"
#include "common/Strings.h"

#include <windows.h>

class RegistryService
{
public:
    // Replaces destinationRoot\destinationSubkey with a copy of sourceRoot\sourceSubkey (classes,
    // values of every type and size, the whole tree). A missing source leaves the destination
    // deleted and is no error. Throws RegistryServiceException when the copy fails, and passes on
    // CRegistryKey::Exception when the old destination cannot be deleted.
    static void CopyRegistryKey(HKEY sourceRoot, const String& sourceSubkey, HKEY destinationRoot,
                                const String& destinationSubkey);

    // The operations below never throw: they give false and leave the failing call's code as the
    // thread's last error.

    // Copies one key with everything below it into the destination (created when missing).
    static bool CopyKey(HKEY sourceRoot, const String& sourceSubkey, HKEY destinationRoot,
                        const String& destinationSubkey);

    // Copies every subkey of an open key (read access) below an open key (write access).
    static bool CopySubkeys(HKEY source, HKEY destination);

    // Copies every value of an open key (read access) into an open key (write access).
    static bool CopyValues(HKEY source, HKEY destination);

    // Copies one value (type and data) into the destination key, created when missing.
    static bool CopyValue(HKEY sourceRoot, const String& sourceSubkey, const String& sourceName,
                          HKEY destinationRoot, const String& destinationSubkey, const String& destinationName);
};
