#pragma once
// The VSS client library QmVss.dll (src/vss), a separate module linked at load time: it drives a
// VSS writer's component out into a folder through a shadow copy and back. Only the calls the
// directory component makes are declared; the object keeps its own state behind one pointer, so
// the caller can allocate it.
//
// The host process must let VSS writers call back into it: before anything in it marshals a COM
// interface it calls CoInitializeSecurity as VSS requestors must (ssbr does; see
// vss/ComSecurity.h). Otherwise writers are refused and the work fails with a text that says so.

#ifdef QMVSS_BUILDING_LIBRARY
#define QMVSS_API __declspec(dllexport)
#else
#define QMVSS_API __declspec(dllimport)
#endif

class QMVSS_API CTnVssClientWrapper
{
public:
    CTnVssClientWrapper();
    ~CTnVssClientWrapper();
    CTnVssClientWrapper(const CTnVssClientWrapper&) = delete;
    CTnVssClientWrapper& operator=(const CTnVssClientWrapper&) = delete;

    // Binds the system's VSS library: S_OK, or E_FAIL when it cannot (the next call then throws
    // why). Calling it is optional.
    long Initialize();
    // Each returns when the work is done; a failure is thrown by the library as a
    // TarnException::Exception whose text names the failing call and the VSS code's meaning.
    void BackupWriterComponent(wchar_t* writerId, wchar_t* componentName, const wchar_t* directory);
    void RestoreWriterComponent(wchar_t* writerId, wchar_t* componentName, const wchar_t* directory);

private:
    void* m_state;
};
