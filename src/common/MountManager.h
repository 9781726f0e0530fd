#pragma once
// The mount manager: DOS device names, their targets, and the drive letter of an NT device path
// such as "\Device\HarddiskVolume1". Every failure throws MountManagerException.

#include "common/Exceptions.h"
#include "common/Handles.h"
#include "common/Strings.h"

#include <windows.h>

namespace HandleTraits
{
    // A block committed with VirtualAlloc.
    struct VirtualBlock
    {
        using Type = wchar_t*;
        static Type Empty() { return nullptr; }
        static void Close(Type block) { VirtualFree(block, 0, MEM_RELEASE); }
    };
}

// The answer of one DOS-device query: null-terminated strings, the last followed by an empty one.
using DosDeviceBuffer = UniqueHandle<HandleTraits::VirtualBlock>;

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
    // module MountManager.dll (a name that is no link comes back unchanged). Throws
    // "LoadLibrary(MountManager) failed.", "GetProcAddress(ConvertSymbolicLink) failed." or
    // "ConvertSymbolicLinkProc(<link>) failed.".
    static String ConvertSymbolicLink(const String& linkName);

    // The DOS name with a colon (such as "C:") whose target is exactly devicePath; when none
    // has it as its direct target, the one whose link resolves to it in two steps. Of several,
    // the last in the system's order. Throws "Could not get drive letter" (drive then
    // unchanged), or as the calls above.
    static void GetDriveLetter(const String& devicePath, String& drive);
};
