#pragma once
// The VSS client library QmVss.dll, a separate module linked at load time: it drives a VSS
// writer's component out into a folder and back. Only the calls the directory component makes
// are declared; the object keeps its own state behind one pointer, so the caller can allocate it.

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

    long Initialize();
    // Each returns when the work is done; a failure is thrown by the library.
    void BackupWriterComponent(wchar_t* writerId, wchar_t* componentName, const wchar_t* directory);
    void RestoreWriterComponent(wchar_t* writerId, wchar_t* componentName, const wchar_t* directory);

private:
    void* m_state;
};
