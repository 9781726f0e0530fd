// sectool: the security of files in a lab machine.
//
//   sectool show PATH...   prints each path's owner, group and list as one SDDL line (exit code 2
//                          when one cannot be read)

#include "errors/ErrorText.h"
#include "handles/Handles.h"
#include "text/Strings.h"

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
}

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3 || wcscmp(argv[1], L"show") != 0)
        return Fail(L"usage: sectool show PATH...");
    return Show(argc - 2, argv + 2);
}
