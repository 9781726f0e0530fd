#pragma once
// Ends a process found by its executable name: asks its windows to close, then terminates it,
// enabling the debug privilege when the process is protected from the caller. Failures throw
// ProcessesException with the system's error text.

#include "errors/Exceptions.h"
#include "handles/Handles.h"
#include "text/Strings.h"

#include <windows.h>
#include <tlhelp32.h>

class Processes
{
public:
    // Resolves the process-list entry points: the tool-help calls of Kernel32, or, where any of
    // them is missing, the native system query of ntdll with Kernel32's heap calls.
    Processes();
    Processes(const Processes&) = delete;
    Processes& operator=(const Processes&) = delete;

    // Ends the first process whose executable name (the part of its path after the last
    // backslash) equals name, compared without case. Its top-level windows are asked to close
    // and it is given 5 seconds to end; then it is terminated with exit code 0. A name that no
    // process has does nothing; so does a missing Kernel32. When neither way of listing
    // processes exists, writes "ToolHelp or NT API not found!" to standard output and returns.
    // Throws "OpenProcess failed: %s", "Not running on a Windows NT platform",
    // "OpenThreadToken failed: %s", "OpenProcessToken failed: %s",
    // "AdjustTokenPrivileges failed: %s", "AdjustTokenPrivileges (SE_DEBUG_NAME) failed: %s",
    // "OpenProcess failed: %s." or "TerminateProcess failed: %s.".
    void Kill(const String& name);

protected:
    // Lists processes through the native query only, as on systems without tool-help calls.
    struct NativeQueryOnly
    {
    };
    explicit Processes(NativeQueryOnly);

private:
    using CreateToolhelp32SnapshotProc = HANDLE(WINAPI*)(DWORD, DWORD);
    using Process32Proc = BOOL(WINAPI*)(HANDLE, PROCESSENTRY32W*);
    using QuerySystemInformationProc = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    using GetProcessHeapProc = HANDLE(WINAPI*)();
    using HeapAllocProc = void*(WINAPI*)(HANDLE, DWORD, SIZE_T);
    using HeapFreeProc = BOOL(WINAPI*)(HANDLE, DWORD, void*);

    void ResolveNativeQuery();
    bool HasToolHelp() const;
    bool HasNativeQuery() const;
    // Each finds the first match, opens it for waiting and termination into process (left empty
    // when it cannot be opened) and gives its identifier; false when no process matches.
    bool FindWithToolHelp(const String& name, UniqueKernelHandle& process, DWORD& processId) const;
    bool FindWithNativeQuery(const String& name, UniqueKernelHandle& process, DWORD& processId) const;

    UniqueLibrary m_kernel32;
    UniqueLibrary m_ntdll;
    CreateToolhelp32SnapshotProc m_createSnapshot = nullptr;
    Process32Proc m_processFirst = nullptr;
    Process32Proc m_processNext = nullptr;
    QuerySystemInformationProc m_querySystemInformation = nullptr;
    GetProcessHeapProc m_getProcessHeap = nullptr;
    HeapAllocProc m_heapAlloc = nullptr;
    HeapFreeProc m_heapFree = nullptr;
};
