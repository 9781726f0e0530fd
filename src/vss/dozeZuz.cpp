// x64\dozeZuz.exe: the requestor as a program, for a 32-bit process on 64-bit Windows (a 32-bit
// process cannot ask the 64-bit VSS for shadow copies).
//
//     dozeZuz /writer|/writerrestore WRITERID COMPONENT "FOLDER"
//
// Exit code 0 when the component is saved into FOLDER or restored from it; otherwise one line of
// text on standard error and 1 (the work failed) or 2 (the command line is not understood).
#include "errors/ErrorText.h"
#include "errors/Exceptions.h"
#include "handles/Handles.h"
#include "vss/ComSecurity.h"
#include "vss/Requestor.h"
#include "vss/VssApi.h"

#include <cstdio>
#include <new>

namespace
{
    enum Exit
    {
        Done = 0,
        Failed = 1,
        Usage = 2,
    };

    int Report(int code, String text)
    {
        for (wchar_t& character : text)
            if (character == L'\r' || character == L'\n')
                character = L' ';
        const std::string line = Strings::ToUtf8(L"dozeZuz: " + text + L"\n");
        fwrite(line.data(), 1, line.size(), stderr);
        return code;
    }
}

int wmain(int argc, wchar_t** argv)
{
    if (argc != 5 || (String(argv[1]) != L"/writer" && String(argv[1]) != L"/writerrestore"))
        return Report(Usage, L"usage: dozeZuz /writer|/writerrestore WRITERID COMPONENT \"FOLDER\"");
    const bool backup = String(argv[1]) == L"/writer";
    // A folder given with a trailing backslash arrives with a quote instead (\" is an escaped
    // quote to the argument parser); no path holds a quote.
    String folder = argv[4];
    if (!folder.empty() && folder.back() == L'"')
        folder.back() = L'\\';

    const ComApartment apartment(COINIT_MULTITHREADED);
    if (FAILED(apartment.Result()))
        return Report(Failed, L"CoInitializeEx failed: " + ErrorText::Format(static_cast<DWORD>(apartment.Result())));
    const HRESULT security = VssHost::AllowWriterCallbacks();
    if (FAILED(security))
        return Report(Failed, L"CoInitializeSecurity failed: " + ErrorText::Format(static_cast<DWORD>(security)));
    try
    {
        const VssApiLibrary api;
        VssRequestor requestor(api);
        if (backup)
            requestor.Backup(argv[2], argv[3], folder);
        else
            requestor.Restore(argv[2], argv[3], folder);
        return Done;
    }
    catch (const TarnException::Exception& error)
    {
        return Report(Failed, error.GetMessage());
    }
    catch (const std::bad_alloc&)
    {
        return Report(Failed, L"Out of memory.");
    }
}
