#pragma once
// Where the tests find the programs and modules built beside them: paths relative to
// unit_tests.exe in the build tree, so no test names a machine's folders.

#include "common/Strings.h"
#include "ScratchDirectory.h"

#include <windows.h>

#include <vector>

namespace LabBinaries
{
    // The build tree's root: unit_tests.exe lives in its "tests" folder.
    inline String BuildRoot()
    {
        std::vector<wchar_t> path(32768);
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        String exe(path.data(), length);
        String relative = exe.substr(0, exe.rfind(L'\\')) + L"\\..";
        std::vector<wchar_t> full(32768);
        const DWORD fullLength = GetFullPathNameW(relative.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        return String(full.data(), fullLength);
    }

    inline String LabServiceProgram()
    {
        return BuildRoot() + L"\\lab\\labservice\\labservice.exe";
    }

    inline String LabWindowProgram()
    {
        return BuildRoot() + L"\\lab\\labservice\\labwindow.exe";
    }

    inline String MountManagerFolder()
    {
        return BuildRoot() + L"\\src\\mountmanager";
    }

    // Lets LoadLibrary("MountManager") find the module as it would beside the main module.
    inline bool UseMountManagerModule()
    {
        return SetDllDirectoryW(MountManagerFolder().c_str()) != FALSE;
    }

    // A copy of a lab program under a name no other process has, so that killing by name reaches
    // only the copy a test started. Empty when the copy fails.
    inline String CopyProgram(const String& program, const ScratchDirectory& folder, const String& exeName)
    {
        const String copy = folder / exeName;
        return CopyFileW(program.c_str(), copy.c_str(), FALSE) ? copy : String();
    }
}
