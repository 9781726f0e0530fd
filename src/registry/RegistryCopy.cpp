#include "registry/RegistryService.h"

#include "common/ErrorText.h"
#include "common/Handles.h"
#include "registry/KeyInfo.h"
#include "registry/RegistryKey.h"

#include <vector>

namespace
{
    using RegistryBuffers::GrowTo;
    using RegistryBuffers::KeyInfo;

    // Most names, classes and data fit these; larger ones are read whole with a grown buffer.
    const DWORD NameChars = 260;
    const DWORD ClassChars = 260;
    const DWORD DataBytes = 4096;

    // The registry calls give their code back without setting the thread's last error, which the
    // caller's message reports.
    bool Fail(LONG status)
    {
        SetLastError(static_cast<DWORD>(status));
        return false;
    }

    // Opens the key for writing, creating it when missing. An existing key is opened rather than
    // created again: Wine replaces the class of an existing key that is "created" without one,
    // which would drop the class CopySubkeys has just given it.
    LONG OpenOrCreateForWriting(HKEY root, const String& subkey, UniqueRegKey& key)
    {
        const LONG status = RegOpenKeyExW(root, subkey.c_str(), 0, KEY_WRITE, key.put());
        if (status != ERROR_FILE_NOT_FOUND)
            return status;
        return RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr);
    }

    int RootNumber(HKEY root)
    {
        return static_cast<int>(reinterpret_cast<LONG_PTR>(root));
    }
}

void RegistryService::CopyRegistryKey(HKEY sourceRoot, const String& sourceSubkey, HKEY destinationRoot,
                                      const String& destinationSubkey)
{
    // Fresh handles on the roots, so that their holders never close a handle of the caller's.
    CRegistryKey destinationRootKey(destinationRoot, L"", KEY_READ);
    if (destinationRootKey.SubkeyExists(destinationSubkey, KEY_ALL_ACCESS))
        destinationRootKey.DeleteKeyTree(destinationSubkey);

    const CRegistryKey sourceRootKey(sourceRoot, L"", KEY_READ);
    if (!sourceRootKey.SubkeyExists(sourceSubkey, KEY_ALL_ACCESS))
        return;
    if (!CopyKey(sourceRoot, sourceSubkey, destinationRoot, destinationSubkey))
    {
        const String error = ErrorText::FormatLastError();
        throw RegistryServiceException(Strings::Format(L"CopyRegistryKey(%d, %s, %d, %s) failed.\n%s",
                                                       RootNumber(sourceRoot), sourceSubkey.c_str(),
                                                       RootNumber(destinationRoot), destinationSubkey.c_str(),
                                                       error.c_str()));
    }
}

bool RegistryService::CopyKey(HKEY sourceRoot, const String& sourceSubkey, HKEY destinationRoot,
                              const String& destinationSubkey)
{
    UniqueRegKey source;
    LONG status = RegOpenKeyExW(sourceRoot, sourceSubkey.c_str(), 0, KEY_READ, source.put());
    if (status != ERROR_SUCCESS)
        return Fail(status);
    UniqueRegKey destination;
    status = OpenOrCreateForWriting(destinationRoot, destinationSubkey, destination);
    if (status != ERROR_SUCCESS)
        return Fail(status);
    // The owners keep the last error across their closes.
    return CopySubkeys(source.get(), destination.get()) && CopyValues(source.get(), destination.get());
}

bool RegistryService::CopySubkeys(HKEY source, HKEY destination)
{
    std::vector<wchar_t> name(NameChars);
    std::vector<wchar_t> keyClass(ClassChars);
    for (DWORD index = 0;;)
    {
        DWORD nameChars = static_cast<DWORD>(name.size());
        DWORD classChars = static_cast<DWORD>(keyClass.size());
        LONG status = RegEnumKeyExW(source, index, name.data(), &nameChars, nullptr, keyClass.data(), &classChars,
                                    nullptr);
        if (status == ERROR_NO_MORE_ITEMS)
            return true;
        if (status == ERROR_MORE_DATA)
        {
            // A class (or name) longer than the buffers: read this subkey again, whole.
            KeyInfo info;
            status = RegistryBuffers::Query(source, info);
            if (status != ERROR_SUCCESS)
                return Fail(status);
            const bool grewName = GrowTo(name, info.longestSubkey + 1);
            const bool grewClass = GrowTo(keyClass, info.longestClass + 1);
            if (!grewName && !grewClass)
                return Fail(ERROR_MORE_DATA);
            continue;
        }
        if (status != ERROR_SUCCESS)
            return Fail(status);

        UniqueRegKey created;
        status = RegCreateKeyExW(destination, name.data(), 0, keyClass.data(), 0, KEY_ALL_ACCESS, nullptr,
                                 created.put(), nullptr);
        if (status != ERROR_SUCCESS)
            return Fail(status);
        created.reset();
        if (!CopyKey(source, name.data(), destination, name.data()))
            return false;
        ++index;
    }
}

bool RegistryService::CopyValues(HKEY source, HKEY destination)
{
    std::vector<wchar_t> name(NameChars);
    std::vector<BYTE> data(DataBytes);
    for (DWORD index = 0;;)
    {
        DWORD nameChars = static_cast<DWORD>(name.size());
        DWORD dataSize = static_cast<DWORD>(data.size());
        DWORD type = 0;
        LONG status = RegEnumValueW(source, index, name.data(), &nameChars, nullptr, &type, data.data(), &dataSize);
        if (status == ERROR_NO_MORE_ITEMS)
            return true;
        if (status == ERROR_MORE_DATA)
        {
            // A longer name or more data than the buffers hold: read this value again, whole.
            KeyInfo info;
            status = RegistryBuffers::Query(source, info);
            if (status != ERROR_SUCCESS)
                return Fail(status);
            bool grew = GrowTo(name, info.longestValueName + 1);
            grew = GrowTo(data, info.longestData + 1) || grew;
            // The enumeration also tells the data's size, which may be ahead of the key's maxima.
            if (!grew && dataSize < MAXDWORD)
                grew = GrowTo(data, dataSize + 1);
            if (!grew)
                return Fail(ERROR_MORE_DATA);
            continue;
        }
        if (status != ERROR_SUCCESS)
            return Fail(status);

        status = RegSetValueExW(destination, name.data(), 0, type, data.data(), dataSize);
        if (status != ERROR_SUCCESS)
            return Fail(status);
        ++index;
    }
}

bool RegistryService::CopyValue(HKEY sourceRoot, const String& sourceSubkey, const String& sourceName,
                                HKEY destinationRoot, const String& destinationSubkey, const String& destinationName)
{
    UniqueRegKey source;
    LONG status = RegOpenKeyExW(sourceRoot, sourceSubkey.c_str(), 0, KEY_READ, source.put());
    if (status != ERROR_SUCCESS)
        return Fail(status);
    UniqueRegKey destination;
    status = OpenOrCreateForWriting(destinationRoot, destinationSubkey, destination);
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
