// sectool: the security of files in a lab machine, and files held open while a command runs.
//
//   sectool show PATH...            prints each path's owner, group and list as one SDDL line
//                                   (exit code 2 when one cannot be read)
//   sectool set PATH SDDL           gives PATH the owner, group and list that SDDL holds
//   sectool hold PATH... -- COMMAND runs COMMAND (searched on PATH) while every PATH is open
//                                   for reading without sharing, as a program that holds a file
//                                   does; the exit code is COMMAND's (2 when a PATH cannot be
//                                   opened, and COMMAND does not run)
//
// The backup and restore privileges are enabled first, as ssbr enables them.

#include "common/ErrorText.h"
#include "common/Handles.h"
#include "common/Strings.h"
#include "privileges/Privileges.h"

#include <windows.h>
#include <sddl.h>

#include <cstdio>
#include <cwchar>
#include <vector>

namespace
{
    const SECURITY_INFORMATION Parts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                       DACL_SECURITY_INFORMATION;

    void Print(FILE* stream, const String& text)
    {
        const std::string utf8 = Strings::ToUtf8(text);
        fwrite(utf8.data(), 1, utf8.size(), stream);
    }

    int Fail(const String& text)
    {
        Print(stderr, L"sectool: " + text + L"\n");
        return 2;
    }

    int Show(int count, wchar_t** paths)
    {
        int status = 0;
        for (int i = 0; i < count; ++i)
        {
            DWORD size = 0;
            GetFileSecurityW(paths[i], Parts, nullptr, 0, &size);
            std::vector<BYTE> descriptor(size + 1);
            wchar_t* text = nullptr;
            if (size == 0 ||
                !GetFileSecurityW(paths[i], Parts, descriptor.data(), static_cast<DWORD>(descriptor.size()), &size) ||
                !ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.data(), SDDL_REVISION_1, Parts, &text,
                                                                      nullptr))
            {
                status = Fail(Strings::Format(L"%s: %s", paths[i], ErrorText::FormatLastError().c_str()));
                continue;
            }
            const UniqueLocalMemory owner(text);
            Print(stdout, String(text) + L"\n");
        }
        return status;
    }

    int Set(const wchar_t* path, const wchar_t* sddl)
    {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
            return Fail(Strings::Format(L"%s: %s", sddl, ErrorText::FormatLastError().c_str()));
        const UniqueLocalMemory owner(descriptor);
        SECURITY_INFORMATION parts = 0;
        PSID sid = nullptr;
        PACL list = nullptr;
        BOOL present = FALSE, defaulted = FALSE;
        if (GetSecurityDescriptorOwner(descriptor, &sid, &defaulted) && sid != nullptr)
            parts |= OWNER_SECURITY_INFORMATION;
        if (GetSecurityDescriptorGroup(descriptor, &sid, &defaulted) && sid != nullptr)
            parts |= GROUP_SECURITY_INFORMATION;
        if (GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted) && present)
            parts |= DACL_SECURITY_INFORMATION;
        if (!SetFileSecurityW(path, parts, descriptor))
            return Fail(Strings::Format(L"%s: %s", path, ErrorText::FormatLastError().c_str()));
        return 0;
    }

    int Hold(int argc, wchar_t** argv)
    {
        std::vector<UniqueFileHandle> held;
        int i = 0;
        for (; i < argc && wcscmp(argv[i], L"--") != 0; ++i)
        {
            held.emplace_back(CreateFileW(argv[i], GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                          nullptr));
            if (!held.back())
                return Fail(Strings::Format(L"%s: %s", argv[i], ErrorText::FormatLastError().c_str()));
        }
        if (i + 1 >= argc)
            return Fail(L"hold: no command after --");
        String commandLine;
        for (++i; i < argc; ++i)
        {
            if (!commandLine.empty())
                commandLine += L' ';
            const bool quote = wcschr(argv[i], L' ') != nullptr;
            commandLine += quote ? L"\"" + String(argv[i]) + L"\"" : String(argv[i]);
        }
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
            return Fail(Strings::Format(L"%s: %s", commandLine.c_str(), ErrorText::FormatLastError().c_str()));
        const UniqueKernelHandle thread(process.hThread);
        const UniqueKernelHandle child(process.hProcess);
        WaitForSingleObject(child.get(), INFINITE);
        DWORD code = 2;
        GetExitCodeProcess(child.get(), &code);
        return static_cast<int>(code);
    }
}

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
        return Fail(L"usage: sectool show PATH... | set PATH SDDL | hold PATH... -- COMMAND...");
    Privileges::Enable(SE_BACKUP_NAME);
    Privileges::Enable(SE_RESTORE_NAME);
    if (wcscmp(argv[1], L"show") == 0)
        return Show(argc - 2, argv + 2);
    if (wcscmp(argv[1], L"set") == 0 && argc == 4)
        return Set(argv[2], argv[3]);
    if (wcscmp(argv[1], L"hold") == 0)
        return Hold(argc - 2, argv + 2);
    return Fail(Strings::Format(L"unknown command %s", argv[1]));
}
