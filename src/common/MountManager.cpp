#include "common/MountManager.h"

#include "common/FileSystem.h"
#include "mountmanager/ConvertSymbolicLink.h"

namespace
{
    constexpr DWORD InitialQueryChars = 16000;
    constexpr DWORD Wow64ProbeChars = 8000;
    constexpr DWORD ConvertBufferChars = 256;
    const wchar_t* const MountManagerLibrary = L"MountManager";

    DosDeviceBuffer Commit(DWORD chars)
    {
        return DosDeviceBuffer(static_cast<wchar_t*>(
            VirtualAlloc(nullptr, static_cast<SIZE_T>(chars) * sizeof(wchar_t), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)));
    }

    bool IsWow64()
    {
        try
        {
            Wow64 wow64;
            return wow64.IsWow64Process();
        }
        catch (const Wow64Exception& error)
        {
            throw MountManagerException(Strings::Format(L"Wow64 Exception: %s\n", error.GetMessage().c_str()));
        }
    }

    // A drive name has its colon after at least one character; PhysicalDrive0 and the like have none.
    bool HasColonAfterStart(const String& name)
    {
        return name.find(L':', 1) != String::npos;
    }
}

void MountManager::QueryDosDevice(const wchar_t* deviceName, DosDeviceBuffer& buffer)
{
    const bool wow64 = IsWow64();

    // Under WOW64 a query can report a length that the next one does not confirm, so an answer
    // is trusted only when two successive queries agree on it.
    DWORD previousLength = 0;
    if (wow64)
    {
        DosDeviceBuffer probe = Commit(Wow64ProbeChars);
        if (probe)
            previousLength = ::QueryDosDeviceW(deviceName, probe.get(), Wow64ProbeChars);
    }

    for (DWORD chars = InitialQueryChars;; chars *= 2)
    {
        DosDeviceBuffer block = Commit(chars);
        if (!block)
            throw MountManagerException(L"QueryDosDevice failed.");
        const DWORD length = ::QueryDosDeviceW(deviceName, block.get(), chars);
        if (length == 0)
        {
            if (GetLastError() == ERROR_INSUFFICIENT_BUFFER)
                continue;
            throw MountManagerException(L"QueryDosDevice failed.");
        }
        if (wow64 && length != previousLength)
        {
            previousLength = length;
            continue;
        }
        buffer = std::move(block);
        return;
    }
}

void MountManager::ListDosDevices(StringList& names)
{
    DosDeviceBuffer block;
    QueryDosDevice(nullptr, block);
    StringList result;
    for (const wchar_t* name = block.get(); *name != L'\0'; name += wcslen(name) + 1)
        result.emplace_back(name);
    names = std::move(result);
}

String MountManager::ConvertSymbolicLink(const String& linkName)
{
    // The library is freed on every way out, the exceptions below included.
    UniqueLibrary library(LoadLibraryW(MountManagerLibrary));
    if (!library)
        throw MountManagerException(Strings::Format(L"LoadLibrary(%s) failed.", MountManagerLibrary));

    const auto convert = reinterpret_cast<ConvertSymbolicLinkProc>(
        reinterpret_cast<void*>(GetProcAddress(library.get(), ConvertSymbolicLinkExport)));
    if (convert == nullptr)
        throw MountManagerException(Strings::Format(L"GetProcAddress(%S) failed.", ConvertSymbolicLinkExport));

    wchar_t target[ConvertBufferChars] = {};
    if (!convert(linkName.c_str(), target, ConvertBufferChars))
        throw MountManagerException(Strings::Format(L"ConvertSymbolicLinkProc(%s) failed.", linkName.c_str()));
    target[ConvertBufferChars - 1] = L'\0';
    return target;
}

void MountManager::GetDriveLetter(const String& devicePath, String& drive)
{
    StringList names;
    ListDosDevices(names);

    String result;
    for (const String& name : names)
    {
        DosDeviceBuffer target;
        QueryDosDevice(name.c_str(), target);
        if (String(target.get()) == devicePath && HasColonAfterStart(name))
            result = name;
    }

    // Where a drive's target is itself a link (an older volume naming scheme), its second
    // step reaches the device.
    if (result.empty())
    {
        for (const String& name : names)
        {
            const String firstStep = ConvertSymbolicLink(L"\\??\\" + name);
            const String secondStep = ConvertSymbolicLink(firstStep);
            if (secondStep == devicePath && HasColonAfterStart(name))
                result = name;
        }
    }

    if (result.empty())
        throw MountManagerException(L"Could not get drive letter");
    drive = result;
}
