#pragma once
// The programs and modules built beside unit_tests.exe, and copies of the lab programs under
// names no other process has.

#include "handles/Handles.h"
#include "ScratchDirectory.h"

#include <windows.h>

#include <vector>

namespace Lab
{
    // The build tree's root: unit_tests.exe lives in its "tests" folder.
    inline String BuildRoot()
    {
        std::vector<wchar_t> path(32768);
        String exe(path.data(), GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
        const String relative = exe.substr(0, exe.rfind(L'\\')) + L"\\..";
        return String(path.data(), GetFullPathNameW(relative.c_str(), static_cast<DWORD>(path.size()), path.data(), nullptr));
    }

    inline String MountManagerFolder() { return BuildRoot() + L"\\src\\mountmanager"; }

    // A copy of a lab program in the folder under a name of its own; empty when the copy fails.
    inline String CopyProgram(const wchar_t* exe, const ScratchDirectory& folder, String& copyName)
    {
        static int counter = 0;
        copyName = Strings::Format(L"qmlab%lu_%d.exe", GetCurrentProcessId(), ++counter);
        const String copy = folder / copyName;
        return CopyFileW((BuildRoot() + L"\\lab\\labservice\\" + exe).c_str(), copy.c_str(), FALSE) ? copy : String();
    }
}
