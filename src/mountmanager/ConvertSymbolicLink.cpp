// MountManager.dll: object-manager symbolic links resolved through the native calls, which every
// Windows version since NT has and which Wine implements, so that the backup module needs no
// mount-point service of its own.

#include "mountmanager/ConvertSymbolicLink.h"

#include "handles/Handles.h"

#include <winternl.h>

#include <cwchar>
#include <type_traits>

namespace
{
    using NtOpenSymbolicLinkObjectProc = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);
    using NtQuerySymbolicLinkObjectProc = NTSTATUS(NTAPI*)(HANDLE, PUNICODE_STRING, PULONG);
    using RtlNtStatusToDosErrorProc = ULONG(NTAPI*)(NTSTATUS);

    constexpr ACCESS_MASK SymbolicLinkQuery = 0x0001;
    constexpr NTSTATUS StatusAccessDenied = static_cast<NTSTATUS>(0xC0000022);
    constexpr NTSTATUS StatusNoMemory = static_cast<NTSTATUS>(0xC0000017);
    constexpr NTSTATUS StatusInsufficientResources = static_cast<NTSTATUS>(0xC000009A);

    // ntdll is mapped into every process, so it is looked up rather than linked: the module then
    // imports kernel32 alone.
    struct NativeCalls
    {
        NtOpenSymbolicLinkObjectProc openLink = nullptr;
        NtQuerySymbolicLinkObjectProc queryLink = nullptr;
        RtlNtStatusToDosErrorProc toWin32 = nullptr;

        bool Resolve()
        {
            const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
            if (ntdll == nullptr)
                return false;
            openLink = GetProc<NtOpenSymbolicLinkObjectProc>(ntdll, "NtOpenSymbolicLinkObject");
            queryLink = GetProc<NtQuerySymbolicLinkObjectProc>(ntdll, "NtQuerySymbolicLinkObject");
            toWin32 = GetProc<RtlNtStatusToDosErrorProc>(ntdll, "RtlNtStatusToDosError");
            return openLink != nullptr && queryLink != nullptr && toWin32 != nullptr;
        }
    };

    BOOL Fail(DWORD error)
    {
        SetLastError(error);
        return FALSE;
    }

    // Failures that say nothing about the name itself; every other failure to open the name as
    // a link means it is not one.
    bool IsFailureOfTheCall(NTSTATUS status)
    {
        return status == StatusAccessDenied || status == StatusNoMemory || status == StatusInsufficientResources;
    }
}

extern "C" __declspec(dllexport) BOOL WINAPI ConvertSymbolicLink(const wchar_t* linkName, wchar_t* target, DWORD targetChars)
{
    static_assert(std::is_same_v<decltype(&ConvertSymbolicLink), ConvertSymbolicLinkProc>, "export and its type differ");

    if (target == nullptr || targetChars == 0)
        return Fail(ERROR_INVALID_PARAMETER);
    target[0] = L'\0';
    if (linkName == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);

    // A counted string holds at most 32767 characters.
    const size_t nameChars = wcslen(linkName);
    if (nameChars > 0x7FFF)
        return Fail(ERROR_FILENAME_EXCED_RANGE);

    NativeCalls native;
    if (!native.Resolve())
        return Fail(ERROR_PROC_NOT_FOUND);

    UNICODE_STRING name;
    name.Length = static_cast<USHORT>(nameChars * sizeof(wchar_t));
    name.MaximumLength = name.Length;
    name.Buffer = const_cast<wchar_t*>(linkName);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);

    UniqueKernelHandle link;
    NTSTATUS status = native.openLink(link.put(), SymbolicLinkQuery, &attributes);
    if (!NT_SUCCESS(status))
    {
        if (IsFailureOfTheCall(status))
            return Fail(native.toWin32(status));
        // Not a link: a device, a directory, a name that a dangling link points to, or an empty
        // target such as GLOBALROOT's.
        if (nameChars >= targetChars)
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        wmemcpy(target, linkName, nameChars + 1);
        return TRUE;
    }

    // A counted string's size is even and below 64 KB. The query may fill the terminator's
    // place too; whether one is left is checked afterwards.
    const DWORD bufferChars = targetChars < 0x7FFF ? targetChars : 0x7FFF;
    UNICODE_STRING resolved;
    resolved.Length = 0;
    resolved.MaximumLength = static_cast<USHORT>(bufferChars * sizeof(wchar_t));
    resolved.Buffer = target;
    ULONG returned = 0;
    status = native.queryLink(link.get(), &resolved, &returned);
    if (!NT_SUCCESS(status))
    {
        target[0] = L'\0';
        return Fail(native.toWin32(status));
    }
    if (resolved.Length / sizeof(wchar_t) >= bufferChars)
    {
        target[0] = L'\0';
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    target[resolved.Length / sizeof(wchar_t)] = L'\0';
    return TRUE;
}
