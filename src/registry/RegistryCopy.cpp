#include "registry/RegistryService.h"

#include "errors/Failure.h"
#include "handles/Handles.h"
#include "registry/Enumerator.h"
#include "registry/LiveKeys.h"
#include "registry/RegistryKey.h"

#include <vector>

namespace
{
    const wchar_t* const CopyFailed = L"CopyRegistryKey(%d, %s, %d, %s) failed.\n%s";

    // The registry calls give their code back without setting the thread's last error, which the
    // caller's message reports.
    bool Fail(LONG status)
    {
        SetLastError(static_cast<DWORD>(status));
        return false;
    }

    // A copied key takes its source's security too.
    const REGSAM CopyAccess = KEY_WRITE | WRITE_DAC | WRITE_OWNER;
    const SECURITY_INFORMATION CopiedSecurity =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

    // Opens the key with access, creating it when missing. An existing key is opened rather than
    // created again: Wine replaces the class of an existing key that is "created" without one,
    // which would drop the class CopySubkeys has just given it.
    LONG OpenOrCreate(HKEY root, const String& subkey, REGSAM access, UniqueRegKey& key)
    {
        const LONG status = RegOpenKeyExW(root, subkey.c_str(), 0, access, key.put());
        if (status != ERROR_FILE_NOT_FOUND)
            return status;
        return RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, 0, access, nullptr, key.put(), nullptr);
    }

    // Gives destination the owner, group and access list of source. The audit list stays the
    // destination's: writing it takes the security privilege, which a restore does not ask for.
    LONG CopySecurity(HKEY source, HKEY destination)
    {
        std::vector<BYTE> descriptor(256);
        for (;;)
        {
            DWORD size = static_cast<DWORD>(descriptor.size());
            const LONG status = RegGetKeySecurity(source, CopiedSecurity, descriptor.data(), &size);
            if (status == ERROR_INSUFFICIENT_BUFFER && size > descriptor.size())
            {
                descriptor.assign(size, 0);
                continue;
            }
            if (status != ERROR_SUCCESS)
                return status;
            return RegSetKeySecurity(destination, CopiedSecurity, descriptor.data());
        }
    }
}

void RegistryService::CopyRegistryKey(HKEY sourceRoot, const String& sourceSubkey, HKEY destinationRoot,
                                      const String& destinationSubkey)
{
    // The source is looked at before the destination goes: one that exists but cannot be read
    // fails the copy with the destination intact.
    UniqueRegKey source;
    const LONG status = LiveKeys::Open(sourceRoot, sourceSubkey, source);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        Failure::ThrowCode<RegistryServiceException>(static_cast<DWORD>(status), CopyFailed,
                                                     Failure::Number(sourceRoot), sourceSubkey.c_str(),
                                                     Failure::Number(destinationRoot), destinationSubkey.c_str());
    source.reset();

    // A fresh handle on the root, so that its holder never closes a handle of the caller's.
    CRegistryKey destinationRootKey(destinationRoot, L"", KEY_READ);
    if (destinationRootKey.SubkeyExists(destinationSubkey, KEY_ALL_ACCESS))
        destinationRootKey.DeleteKeyTree(destinationSubkey);

    if (status == ERROR_FILE_NOT_FOUND)
        return;
    if (!CopyKey(sourceRoot, sourceSubkey, destinationRoot, destinationSubkey))
        Failure::ThrowLastError<RegistryServiceException>(CopyFailed, Failure::Number(sourceRoot), sourceSubkey.c_str(),
                                                          Failure::Number(destinationRoot), destinationSubkey.c_str());
}

bool RegistryService::CopyKey(HKEY sourceRoot, const String& sourceSubkey, HKEY destinationRoot,
                              const String& destinationSubkey)
{
    UniqueRegKey source;
    LONG status = LiveKeys::Open(sourceRoot, sourceSubkey, source);
    if (status != ERROR_SUCCESS)
        return Fail(status);
    UniqueRegKey destination;
    status = OpenOrCreate(destinationRoot, destinationSubkey, CopyAccess, destination);
    if (status != ERROR_SUCCESS)
        return Fail(status);
    // The owners keep the last error across their closes.
    if (!CopySubkeys(source.get(), destination.get()) || !CopyValues(source.get(), destination.get()))
        return false;
    // Last, as the source's security may deny what the copy of its content needed.
    status = CopySecurity(source.get(), destination.get());
    return status == ERROR_SUCCESS || Fail(status);
}

bool RegistryService::CopySubkeys(HKEY source, HKEY destination)
{
    RegistryBuffers::SubkeyEnumerator subkey;
    for (DWORD index = 0;; ++index)
    {
        LONG status = subkey.Read(source, index);
        if (status == ERROR_NO_MORE_ITEMS)
            return true;
        if (status != ERROR_SUCCESS)
            return Fail(status);

        UniqueRegKey created;
        status = RegCreateKeyExW(destination, subkey.Name(), 0, const_cast<wchar_t*>(subkey.Class()), 0,
                                 KEY_ALL_ACCESS, nullptr, created.put(), nullptr);
        if (status != ERROR_SUCCESS)
            return Fail(status);
        created.reset();
        if (!CopyKey(source, subkey.Name(), destination, subkey.Name()))
            return false;
    }
}

bool RegistryService::CopyValues(HKEY source, HKEY destination)
{
    RegistryBuffers::ValueEnumerator value;
    for (DWORD index = 0;; ++index)
    {
        LONG status = value.Read(source, index);
        if (status == ERROR_NO_MORE_ITEMS)
            return true;
        if (status != ERROR_SUCCESS)
            return Fail(status);
        status = RegSetValueExW(destination, value.Name(), 0, value.Type(), value.Data(), value.DataSize());
        if (status != ERROR_SUCCESS)
            return Fail(status);
    }
}

bool RegistryService::CopyValue(HKEY sourceRoot, const String& sourceSubkey, const String& sourceName,
                                HKEY destinationRoot, const String& destinationSubkey, const String& destinationName)
{
    UniqueRegKey source;
    LONG status = LiveKeys::Open(sourceRoot, sourceSubkey, source);
    if (status != ERROR_SUCCESS)
        return Fail(status);
    UniqueRegKey destination;
    status = OpenOrCreate(destinationRoot, destinationSubkey, KEY_WRITE, destination);
    if (status != ERROR_SUCCESS)
        return Fail(status);

    DWORD type = 0;
    DWORD size = 0;
    status = RegQueryValueExW(source.get(), sourceName.c_str(), nullptr, &type, nullptr, &size);
    std::vector<BYTE> data;
    while (status == ERROR_SUCCESS)
    {
        // One spare byte gives a valid address for empty data.
        data.assign(static_cast<size_t>(size) + 1, 0);
        DWORD read = size;
        status = RegQueryValueExW(source.get(), sourceName.c_str(), nullptr, &type, data.data(), &read);
        if (status == ERROR_MORE_DATA)
        {
            // The value grew since its size was asked; ask again.
            status = ERROR_SUCCESS;
            size = read > size ? read : size * 2 + 2;
            continue;
        }
        if (status != ERROR_SUCCESS)
            break;
        status = RegSetValueExW(destination.get(), destinationName.c_str(), 0, type, data.data(), read);
        if (status != ERROR_SUCCESS)
            break;
        return true;
    }
    return Fail(status);
}
