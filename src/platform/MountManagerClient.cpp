#include "platform/MountManagerClient.h"

#include "errors/ErrorText.h"
#include "platform/Libraries.h"
#include "platform/Wow64.h"
#include "mountmanager/ConvertSymbolicLink.h"

namespace
{
    constexpr DWORD InitialQueryChars = 16000;
    constexpr DWORD Wow64ProbeChars = 8000;
    constexpr DWORD ConvertBufferChars = 256;
    const wchar_t* const MountManagerLibrary = L"MountManager.dll";

    DosDeviceBuffer Commit(DWORD chars)
    {
        return DosDeviceBuffer(static_cast<wchar_t*>(
            VirtualAlloc(nullptr, static_cast<SIZE_T>(chars) * sizeof(wchar_t), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)));
    }

    bool IsWow64()
    {
        try
        {
            return Wow64::IsWow64Process();
        }
        catch (const Wow64Exception& error)
        {
            throw MountManagerException(Strings::Format(L"Wow64 Exception: %s\n", error.GetMessage().c_str()));
        }
    }

    // MountManager.dll, loaded by full path from beside this code: a process that holds the
    // backup and restore privileges must never load a module of that name from a search-path
    // folder, and the caller's folder is not ours. Freed with the object.
    class LinkResolver
    {
    public:
        LinkResolver()
        {
            const String folder = Libraries::OwnModuleFolder();
            if (folder.empty())
                throw MountManagerException(
                    Strings::Format(L"GetModuleFileName() failed: %s", ErrorText::FormatLastError().c_str()));
            const String path = folder + MountManagerLibrary;
            m_library.reset(LoadLibraryW(path.c_str()));
            if (!m_library)
                throw MountManagerException(Strings::Format(L"LoadLibrary(%s) failed.", path.c_str()));
            m_convert = GetProc<ConvertSymbolicLinkProc>(m_library.get(), ConvertSymbolicLinkExport);
            if (m_convert == nullptr)
                throw MountManagerException(Strings::Format(L"GetProcAddress(%S) failed.", ConvertSymbolicLinkExport));
        }

        // One step of resolution; false when the module cannot resolve the name.
        bool Resolve(const String& linkName, String& target) const
        {
            wchar_t buffer[ConvertBufferChars] = {};
            if (!m_convert(linkName.c_str(), buffer, ConvertBufferChars))
                return false;
            buffer[ConvertBufferChars - 1] = L'\0';
            target = buffer;
            return true;
        }

    private:
        UniqueLibrary m_library;
        ConvertSymbolicLinkProc m_convert = nullptr;
    };

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
    const LinkResolver resolver;
    String target;
    if (!resolver.Resolve(linkName, target))
        throw MountManagerException(Strings::Format(L"ConvertSymbolicLinkProc(%s) failed.", linkName.c_str()));
    return target;
}

void MountManager::GetDriveLetter(const String& devicePath, String& drive)
{
    DosDevices devices;
    devices.GetDriveLetter(devicePath, drive);
}

DosDevices::DosDevices()
{
    StringList names;
    MountManager::ListDosDevices(names);
    for (String& name : names)
    {
        // Only a drive name can answer a lookup; querying the others (ports, pipes, volume
        // names: most of the list) would cost calls and give nothing.
        if (!HasColonAfterStart(name))
            continue;
        DosDeviceBuffer target;
        try
        {
            MountManager::QueryDosDevice(name.c_str(), target);
        }
        catch (const MountManagerException&)
        {
            // Listing and querying are two calls: a drive can go away between them.
            continue;
        }
        m_targets.push_back(Device{std::move(name), target.get()});
    }
}

void DosDevices::GetDriveLetter(const String& devicePath, String& drive)
{
    String result;
    for (const Device& device : m_targets)
    {
        if (device.target == devicePath && HasColonAfterStart(device.name))
            result = device.name;
    }

    // Where a drive's target is itself a link (an older volume naming scheme), its second
    // step reaches the device.
    if (result.empty())
    {
        if (!m_resolvedAll)
        {
            const LinkResolver resolver;
            for (const Device& device : m_targets)
            {
                String firstStep;
                String secondStep;
                // A link that vanished or may not be read since the listing names no drive.
                if (resolver.Resolve(L"\\??\\" + device.name, firstStep) && resolver.Resolve(firstStep, secondStep))
                    m_resolved.push_back(Device{device.name, secondStep});
            }
            m_resolvedAll = true;
        }
        for (const Device& device : m_resolved)
        {
            if (device.target == devicePath && HasColonAfterStart(device.name))
                result = device.name;
        }
    }

    if (result.empty())
        throw MountManagerException(L"Could not get drive letter");
    drive = result;
}
