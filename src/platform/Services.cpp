#include "platform/Services.h"

#include "errors/ErrorText.h"
#include "handles/Handles.h"

namespace
{
    constexpr DWORD MinimumPoll = 1000;
    constexpr DWORD MaximumPoll = 10000;

    [[noreturn]] void ThrowLastError(const wchar_t* format)
    {
        throw ServiceException(Strings::Format(format, ErrorText::FormatLastError().c_str()));
    }

    UniqueServiceHandle OpenManager()
    {
        UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        if (!manager)
            ThrowLastError(L"OpenSCManager() failed: %s");
        return manager;
    }

    UniqueServiceHandle OpenNamedService(const UniqueServiceHandle& manager, const String& name, DWORD access)
    {
        UniqueServiceHandle service(OpenServiceW(manager.get(), name.c_str(), access));
        if (!service)
            ThrowLastError(L"OpenService() failed: %s");
        return service;
    }

    void QueryStatus(const UniqueServiceHandle& service, SERVICE_STATUS& status)
    {
        if (!QueryServiceStatus(service.get(), &status))
            ThrowLastError(L"QueryServiceStatus() failed: %s");
    }

    // A tenth of the service's own estimate, within one and ten seconds.
    DWORD PollInterval(DWORD waitHint)
    {
        const DWORD interval = waitHint / 10;
        if (interval < MinimumPoll)
            return MinimumPoll;
        return interval > MaximumPoll ? MaximumPoll : interval;
    }

    // Waits while the service reports the pending state, for as long as it advances its check
    // point and then up to timeout milliseconds more: the time-out counts from the service's last
    // sign of progress, not from the request. A failed query ends the wait.
    void WaitWhile(const UniqueServiceHandle& service, DWORD pending, DWORD timeout, SERVICE_STATUS& status)
    {
        DWORD progressTick = GetTickCount();
        DWORD checkPoint = status.dwCheckPoint;
        while (status.dwCurrentState == pending)
        {
            Sleep(PollInterval(status.dwWaitHint));
            SERVICE_STATUS latest = {};
            if (!QueryServiceStatus(service.get(), &latest))
                break;
            status = latest;
            if (status.dwCheckPoint > checkPoint)
            {
                progressTick = GetTickCount();
                checkPoint = status.dwCheckPoint;
                continue;
            }
            if (GetTickCount() - progressTick > timeout)
                break;
        }
    }
}

namespace Services
{
    void IsInstalled(const String& name, bool& installed)
    {
        const UniqueServiceHandle manager = OpenManager();
        const UniqueServiceHandle service(OpenServiceW(manager.get(), name.c_str(), READ_CONTROL));
        installed = static_cast<bool>(service);
    }

    void IsRunning(const String& name, bool& running)
    {
        const UniqueServiceHandle manager = OpenManager();
        const UniqueServiceHandle service = OpenNamedService(manager, name, SERVICE_QUERY_STATUS);
        SERVICE_STATUS status = {};
        QueryStatus(service, status);
        running = status.dwCurrentState == SERVICE_RUNNING;
    }

    void Stop(const String& name, DWORD timeout)
    {
        bool installed = false;
        IsInstalled(name, installed);
        if (!installed)
            return;

        const UniqueServiceHandle manager = OpenManager();
        const UniqueServiceHandle service = OpenNamedService(manager, name, SERVICE_STOP | SERVICE_QUERY_STATUS);

        SERVICE_STATUS status = {};
        QueryStatus(service, status);
        if (status.dwCurrentState == SERVICE_RUNNING || status.dwCurrentState == SERVICE_PAUSED)
        {
            if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status))
                ThrowLastError(L"ControlService() failed: %s");
            QueryStatus(service, status);
        }

        WaitWhile(service, SERVICE_STOP_PENDING, timeout, status);
        if (status.dwCurrentState != SERVICE_STOPPED)
            throw ServiceException(Strings::Format(L"Could not stop service: %s\nService state=%d", name.c_str(),
                                                   static_cast<int>(status.dwCurrentState)));
    }

    void Start(const String& name, DWORD timeout)
    {
        const UniqueServiceHandle manager = OpenManager();
        const UniqueServiceHandle service = OpenNamedService(manager, name, SERVICE_START | SERVICE_QUERY_STATUS);
        SERVICE_STATUS status = {};
        QueryStatus(service, status);
        if (status.dwCurrentState == SERVICE_RUNNING)
            return;
        // A service still on its way down cannot be started yet.
        WaitWhile(service, SERVICE_STOP_PENDING, timeout, status);
        if (!StartServiceW(service.get(), 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
            ThrowLastError(L"StartService() failed: %s");
        QueryStatus(service, status);
        WaitWhile(service, SERVICE_START_PENDING, timeout, status);
        if (status.dwCurrentState != SERVICE_RUNNING)
            throw ServiceException(Strings::Format(L"Could not start service: %s\nService state=%d", name.c_str(),
                                                   static_cast<int>(status.dwCurrentState)));
    }
}

StoppedServices::~StoppedServices()
{
    Restart();
}

void StoppedServices::Stop(const String& name)
{
    bool running = false;
    Services::IsRunning(name, running);
    if (!running)
        return;
    Services::Stop(name, m_timeout);
    m_stopped.push_back(name);
}

String StoppedServices::Restart() noexcept
{
    String failures;
    while (!m_stopped.empty())
    {
        try
        {
            try
            {
                Services::Start(m_stopped.back(), m_timeout);
            }
            catch (const TarnException::Exception& error)
            {
                failures += Strings::Format(L"Could not start %s again: %s\n", m_stopped.back().c_str(),
                                            error.GetMessage().c_str());
            }
        }
        catch (...)
        {
            // Out of memory for the text: the service is still tried, the line is lost.
        }
        m_stopped.pop_back();
    }
    return failures;
}
