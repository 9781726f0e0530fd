// The lab's x64\dozeZuz.exe: dozeZuz /writer|/writerrestore WRITERID COMPONENT DIRECTORY. Records
// its command line and arguments as it parsed them, and exits 0 once the component is handed
// over or taken back; 87 for a command line it does not know, 2 when the work fails, or the
// code it is told to fail with.
#include "LabWriter.h"

#include <string>

namespace
{
    const wchar_t* const Program = L"dozeZuz";
}

int wmain(int argc, wchar_t** argv)
{
    std::wstring record = std::wstring(L"dozeZuz {") + GetCommandLineW() + L"}";
    for (int i = 1; i < argc; ++i)
        record += std::wstring(L" [") + argv[i] + L"]";
    LabWriter::Record(Program, record);
    const DWORD fail = LabWriter::Number(Program, L"Fail", 0);
    if (fail != 0)
        return static_cast<int>(fail);
    if (argc != 5 || std::wstring(argv[3]) != L"ntds")
        return 87;
    const std::wstring mode = argv[1];
    std::wstring failure;
    if (mode == L"/writer")
        failure = LabWriter::HandOver(Program, argv[4]);
    else if (mode == L"/writerrestore")
        failure = LabWriter::TakeBack(Program, argv[4]);
    else
        return 87;
    return failure.empty() ? 0 : 2;
}
