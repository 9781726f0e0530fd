#pragma once
// The mount manager: DOS device names, their targets, and the drive letter of an NT device path
// such as "\Device\HarddiskVolume1". Every failure throws MountManagerException.

#include "errors/Exceptions.h"
#include "handles/Handles.h"
#include "text/Strings.h"

#include <windows.h>

#include <vector>

// The answer of one DOS-device query: null-terminated strings, the last followed by an empty one.
using DosDeviceBuffer = UniqueHandle<HandleTraits::VirtualMemory<wchar_t>>;

class MountManager
{
public:
    // The strings the system reports for a DOS device name (its targets, the current one first),
    // or every DOS device name when deviceName is null, in a freshly committed block that buffer
    // takes over. Under WOW64 an answer counts only once two successive queries agree on its
    // length. Throws "QueryDosDevice failed." (buffer then unchanged).
    static void QueryDosDevice(const wchar_t* deviceName, DosDeviceBuffer& buffer);

    // Every DOS device name, in the system's order. Throws as QueryDosDevice.
    static void ListDosDevices(StringList& names);

    // The target of an object-manager symbolic link such as "\??\C:", resolved by the separate
    // module MountManager.dll, loaded by full path from the folder of the module that holds this
    // code (a name that is no link comes back unchanged). Throws "LoadLibrary(<path>) failed.",
    // "GetProcAddress(ConvertSymbolicLink) failed." or "ConvertSymbolicLinkProc(<link>) failed.",
    // and "GetModuleFileName() failed: ..." when this code cannot tell its own folder.
    static String ConvertSymbolicLink(const String& linkName);

    // The drive letter of devicePath from a fresh reading of the DOS devices (see DosDevices).
    static void GetDriveLetter(const String& devicePath, String& drive);
};

// The system's DOS device names and their targets, read once, so that the drive letters of
// several device paths come from one reading. A name that cannot be queried (a removable or
// network drive that went away meanwhile, a link the caller may not read) is left out rather
// than failing every lookup.
class DosDevices
{
public:
    // Lists the names and queries the target of each drive name (one with a colon). Throws as
    // MountManager::QueryDosDevice when the list itself cannot be read.
    DosDevices();

    // The DOS name with a colon (such as "C:") whose target is exactly devicePath; when none
    // has it as its direct target, the one whose link resolves to it in two steps (through
    // MountManager.dll, loaded once on first need). Of several, the last in the system's order.
    // Throws MountManagerException "Could not get drive letter" (drive then unchanged), or the
    // loading failures of MountManager::ConvertSymbolicLink.
    void GetDriveLetter(const String& devicePath, String& drive);

private:
    struct Device
    {
        String name;
        String target;
    };

    std::vector<Device> m_targets;
    // Each name's target after two resolution steps; filled on first need.
    std::vector<Device> m_resolved;
    bool m_resolvedAll = false;
};
