// QmVss.dll: the requestor behind CTnVssClientWrapper, the interface the backup module links.
#define QMVSS_BUILDING_LIBRARY
#include "activedirectory/TnVssClientWrapper.h"

#include "errors/ErrorText.h"
#include "handles/Handles.h"
#include "vss/Requestor.h"
#include "vss/VssApi.h"
#include "vss/VssClientException.h"

#include <memory>

namespace
{
    struct State
    {
        std::unique_ptr<VssApiLibrary> api;
    };

    // The calling thread's apartment for one call: a thread in a single-threaded apartment keeps it.
    ComApartment EnterApartment()
    {
        ComApartment apartment(COINIT_MULTITHREADED);
        if (FAILED(apartment.Result()) && apartment.Result() != RPC_E_CHANGED_MODE)
            throw VssClientException(L"CoInitializeEx failed: " +
                                     ErrorText::Format(static_cast<DWORD>(apartment.Result())));
        return apartment;
    }

    const VssApiLibrary& Api(void* state)
    {
        State& bound = *static_cast<State*>(state);
        if (!bound.api)
            bound.api.reset(new VssApiLibrary());
        return *bound.api;
    }
}

CTnVssClientWrapper::CTnVssClientWrapper() : m_state(new State())
{
}

CTnVssClientWrapper::~CTnVssClientWrapper()
{
    delete static_cast<State*>(m_state);
}

long CTnVssClientWrapper::Initialize()
{
    try
    {
        Api(m_state);
        return S_OK;
    }
    catch (...)
    {
        return E_FAIL;
    }
}

void CTnVssClientWrapper::BackupWriterComponent(wchar_t* writerId, wchar_t* componentName, const wchar_t* directory)
{
    const ComApartment apartment = EnterApartment();
    VssRequestor(Api(m_state)).Backup(writerId, componentName, directory);
}

void CTnVssClientWrapper::RestoreWriterComponent(wchar_t* writerId, wchar_t* componentName, const wchar_t* directory)
{
    const ComApartment apartment = EnterApartment();
    VssRequestor(Api(m_state)).Restore(writerId, componentName, directory);
}
