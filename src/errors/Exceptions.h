#pragma once
// The exception classes of the system. Every failure travels as one of these, thrown by value
// with a finished text, and is turned into the caller's error text in one place (the component
// object).

#include "text/Strings.h"

#include <windows.h>

namespace TarnException
{
    // Base of all module exceptions: one finished message.
    class Exception
    {
    public:
        explicit Exception(const String& message) : m_message(message) {}
        Exception(const Exception&) = default;
        Exception& operator=(const Exception&) = default;
        virtual ~Exception() = default;

        // The exception's text; the base gives its message unchanged.
        virtual String GetDescription() const { return m_message; }

        const String& GetMessage() const { return m_message; }

    private:
        String m_message;
    };
}

// One class per source module. Each describes itself as "<ClassName> ERROR: <message>".
#define QM_DECLARE_MODULE_EXCEPTION(ClassName)                                          \
    class ClassName : public TarnException::Exception                                   \
    {                                                                                   \
    public:                                                                             \
        static constexpr const wchar_t* ExceptionClassName = L## #ClassName;            \
        using TarnException::Exception::Exception;                                      \
        String GetDescription() const override                                          \
        {                                                                               \
            return Strings::Format(L"%s %s: %s", ExceptionClassName, L"ERROR",          \
                                   TarnException::Exception::GetDescription().c_str()); \
        }                                                                               \
    }

QM_DECLARE_MODULE_EXCEPTION(ActiveDirectoryException);
QM_DECLARE_MODULE_EXCEPTION(ActiveDirectoryBackupSetException);
QM_DECLARE_MODULE_EXCEPTION(CertificateServicesException);
QM_DECLARE_MODULE_EXCEPTION(CertificateServicesBackupSetException);
QM_DECLARE_MODULE_EXCEPTION(ClusterDatabaseException);
QM_DECLARE_MODULE_EXCEPTION(COMDatabaseException);
QM_DECLARE_MODULE_EXCEPTION(CoreBootSystemFilesException);
QM_DECLARE_MODULE_EXCEPTION(CoreBootSystemFilesBackupSetException);
QM_DECLARE_MODULE_EXCEPTION(RegistryServiceException);
QM_DECLARE_MODULE_EXCEPTION(RegistryBackupSetException);
QM_DECLARE_MODULE_EXCEPTION(SystemVolumeException);
QM_DECLARE_MODULE_EXCEPTION(SystemVolumeBackupSetException);
QM_DECLARE_MODULE_EXCEPTION(FileSystemException);
QM_DECLARE_MODULE_EXCEPTION(MountManagerException);
QM_DECLARE_MODULE_EXCEPTION(ServiceException);

// A Win32 failure with the place it happened; outside the module tree. The registry key
// wrapper throws its derived class, which the registry component turns into its own exception.
class CWin32Exception
{
public:
    CWin32Exception(const wchar_t* location, DWORD code) : m_location(location), m_code(code) {}
    virtual ~CWin32Exception() = default;

    // The system's text for the code (line end kept); "Error = 0x%08lX" of the code when the
    // system has no text for it nor for why it has none. Safe on any thread.
    virtual String GetErrorMessage() const;

    const wchar_t* GetLocation() const { return m_location; }
    DWORD GetCode() const { return m_code; }

private:
    const wchar_t* m_location;
    DWORD m_code;
};

// Thrown by the WOW64 redirection calls; outside the module tree.
class Wow64Exception
{
public:
    explicit Wow64Exception(const String& message) : m_message(message) {}
    const String& GetMessage() const { return m_message; }

private:
    String m_message;
};
