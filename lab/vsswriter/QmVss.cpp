// The lab's QmVss.dll: CTnVssClientWrapper acting as the directory's writer would. Every call is
// recorded; a failure is thrown as std::runtime_error, as a C++ library reports one.
#define QMVSS_BUILDING_LIBRARY
#include "activedirectory/TnVssClientWrapper.h"

#include "LabWriter.h"

#include <stdexcept>
#include <string>

namespace
{
    const wchar_t* const Program = L"QmVss";
    const wchar_t* const DirectoryWriter = L"{b2014c9e-8711-4c5c-a5a9-3cf384484757}";

    std::string Narrow(const std::wstring& text)
    {
        return std::string(text.begin(), text.end());
    }

    void Run(bool backup, const wchar_t* writerId, const wchar_t* component, const wchar_t* directory)
    {
        const std::wstring call = std::wstring(backup ? L"BackupWriterComponent " : L"RestoreWriterComponent ") +
                                  writerId + L" " + component + L" [" + directory + L"]";
        LabWriter::Record(Program, call);
        if (LabWriter::Number(Program, L"Fail", 0) != 0)
            throw std::runtime_error("lab VSS client: " + Narrow(call) + " failed as told");
        if (std::wstring(writerId) != DirectoryWriter || std::wstring(component) != L"ntds")
            throw std::runtime_error("lab VSS client: no such writer component");
        const std::wstring failure = backup ? LabWriter::HandOver(Program, directory) : LabWriter::TakeBack(Program, directory);
        if (!failure.empty())
            throw std::runtime_error("lab VSS client: " + Narrow(failure));
    }
}

CTnVssClientWrapper::CTnVssClientWrapper() : m_state(nullptr)
{
}

CTnVssClientWrapper::~CTnVssClientWrapper()
{
}

long CTnVssClientWrapper::Initialize()
{
    LabWriter::Record(Program, L"Initialize");
    return 0;
}

void CTnVssClientWrapper::BackupWriterComponent(wchar_t* writerId, wchar_t* componentName, const wchar_t* directory)
{
    Run(true, writerId, componentName, directory);
}

void CTnVssClientWrapper::RestoreWriterComponent(wchar_t* writerId, wchar_t* componentName, const wchar_t* directory)
{
    Run(false, writerId, componentName, directory);
}
