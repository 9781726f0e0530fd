#pragma once
// The programs and modules built beside the test programs, and copies of the lab programs under
// names no other process has.

#include "files/Paths.h"
#include "ScratchDirectory.h"

#include <windows.h>

namespace Lab
{
    // A path relative to the folder of the running test program (the build tree's "tests").
    inline String BesideTests(const String& relative)
    {
        wchar_t exe[MAX_PATH] = {};
        const String program(exe, GetModuleFileNameW(nullptr, exe, MAX_PATH));
        return Paths::GetFullPath(program.substr(0, program.rfind(L'\\') + 1) + relative);
    }

    inline String MountManagerFolder() { return BesideTests(L"..\\src\\mountmanager"); }

    // A copy of a lab program in the folder under a name of its own; empty when the copy fails.
    inline String CopyProgram(const wchar_t* exe, const ScratchDirectory& folder, String& copyName)
    {
        static int counter = 0;
        copyName = Strings::Format(L"qmlab%lu_%d.exe", GetCurrentProcessId(), ++counter);
        const String copy = folder / copyName;
        return CopyFileW(BesideTests(String(L"..\\lab\\labservice\\") + exe).c_str(), copy.c_str(), FALSE) ? copy : String();
    }
}
