#pragma once
// What a 32-bit process on 64-bit Windows sees, shown on a system that cannot run one. While a
// FakeRedirector lives, Wow64::Current() answers a WOW64 process, and the file calls this program
// makes through its import table (as the code under test does) send a path below the system folder
// to the SysWOW64 folder beside it unless the thread turned redirection off through the calls
// handed to Wow64::Replace; a library load fails while it is off (the 64-bit libraries would be
// found). Each call on a path below the system folder is recorded. One at a time, on one thread.

#include "files/Directories.h"
#include "files/Paths.h"
#include "platform/Libraries.h"
#include "text/Strings.h"
#include "platform/Wow64.h"

#include <windows.h>

#include <cstring>
#include <cwchar>
#include <list>
#include <utility>
#include <vector>

class FakeRedirector
{
public:
    struct Call
    {
        const char* function;
        String path;          // as the caller passed it
        bool redirectionOff;  // when it was made
    };

    FakeRedirector() : m_earlier(Wow64::Replace({true, &Disable, &Revert}))
    {
        s_state = {Strings::ToUpper(Libraries::SystemFolder()),
                   Directories::GetDirectory(Libraries::SystemFolder(), true) + L"\\SysWOW64", false, 0, 0, 0, {}};
        Patch(true);
    }
    FakeRedirector(const FakeRedirector&) = delete;
    FakeRedirector& operator=(const FakeRedirector&) = delete;
    ~FakeRedirector()
    {
        Patch(false);
        Wow64::Replace(m_earlier);
    }

    static bool RedirectionOff() { return s_state.redirectionOff; }
    static const std::vector<Call>& Calls() { return s_state.calls; }
    static int Disables() { return s_state.disables; }
    static int Reverts() { return s_state.reverts; }
    // The next disable call fails with this error (0: succeeds).
    static void FailNextDisable(DWORD error) { s_state.failNextDisable = error; }

private:
    static inline struct
    {
        String systemFolder;
        String redirectedFolder; // "C:\windows\SysWOW64"
        bool redirectionOff;
        int disables, reverts;
        DWORD failNextDisable;
        std::vector<Call> calls;
    } s_state = {};

    static BOOL WINAPI Disable(PVOID* previous)
    {
        if (const DWORD error = std::exchange(s_state.failNextDisable, 0))
        {
            SetLastError(error);
            return FALSE;
        }
        *previous = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(std::exchange(s_state.redirectionOff, true)));
        ++s_state.disables;
        return TRUE;
    }
    static BOOL WINAPI Revert(PVOID previous)
    {
        s_state.redirectionOff = previous != nullptr;
        ++s_state.reverts;
        return TRUE;
    }

    // The path the system would open, kept in paths: below the system folder and redirection on,
    // the same path below the SysWOW64 folder. Records the call. Arguments that are no path pass.
    template <typename Argument>
    static Argument Redirect(const char*, Argument argument, std::list<String>&) { return argument; }
    static LPCWSTR Redirect(const char* function, LPCWSTR path, std::list<String>& paths)
    {
        if (path == nullptr) // MoveFileEx's "delete at the next start"
            return path;
        const bool longForm = std::wcsncmp(path, L"\\\\?\\", 4) == 0 && std::wcsncmp(path, L"\\\\?\\UNC\\", 8) != 0;
        const String full = Paths::GetFullPath(Paths::FromLongPath(path));
        const String& folder = s_state.systemFolder;
        const String upper = Strings::ToUpper(full);
        if (upper.rfind(folder, 0) != 0 || (upper.size() != folder.size() && upper[folder.size()] != L'\\'))
            return path;
        s_state.calls.push_back({function, path, s_state.redirectionOff});
        if (s_state.redirectionOff)
            return path;
        paths.push_back((longForm ? L"\\\\?\\" : L"") + s_state.redirectedFolder + full.substr(folder.size()));
        return paths.back().c_str();
    }

    // The kernel32 functions replaced: the file calls, then the library loads.
    enum { FirstLoad = 10, SlotCount = 12 };

    template <int Slot, typename Result, typename... Rest>
    static Result WINAPI Hooked(LPCWSTR name, Rest... rest)
    {
        const auto original = reinterpret_cast<Result(WINAPI*)(LPCWSTR, Rest...)>(s_hooks[Slot].original);
        std::list<String> paths;
        if (Slot < FirstLoad)
            return original(Redirect(s_hooks[Slot].name, name, paths), Redirect(s_hooks[Slot].name, rest, paths)...);
        if (!s_state.redirectionOff)
            return original(name, rest...);
        s_state.calls.push_back({s_hooks[Slot].name, name != nullptr ? name : L"", true});
        SetLastError(ERROR_BAD_EXE_FORMAT);
        return Result();
    }
    template <int Slot, typename Result, typename... Rest>
    static void* HookOf(Result(WINAPI*)(LPCWSTR, Rest...)) { return reinterpret_cast<void*>(&Hooked<Slot, Result, Rest...>); }
#define QM_HOOK(slot, function) {#function, HookOf<slot>(&function), nullptr}
    static inline struct { const char* name; void* call; void* original; } s_hooks[SlotCount] = {
        QM_HOOK(0, CreateFileW),        QM_HOOK(1, CreateDirectoryW),   QM_HOOK(2, DeleteFileW),
        QM_HOOK(3, FindFirstFileW),     QM_HOOK(4, GetFileAttributesW), QM_HOOK(5, GetFileAttributesExW),
        QM_HOOK(6, SetFileAttributesW), QM_HOOK(7, RemoveDirectoryW),   QM_HOOK(8, CopyFileW),
        QM_HOOK(9, MoveFileExW),        QM_HOOK(10, LoadLibraryW),      QM_HOOK(11, LoadLibraryExW)};
#undef QM_HOOK

    // Puts the hooks into the program's import slots of the kernel32 functions they replace, or
    // the slots' earlier content back. A function the program does not import is left alone.
    static void Patch(bool install)
    {
        BYTE* const base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
        const auto* nt = reinterpret_cast<PIMAGE_NT_HEADERS>(base + reinterpret_cast<PIMAGE_DOS_HEADER>(base)->e_lfanew);
        const DWORD imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
        for (auto* module = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports); module->Name != 0; ++module)
        {
            if (_stricmp(reinterpret_cast<const char*>(base + module->Name), "kernel32.dll") != 0)
                continue;
            auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->FirstThunk);
            for (auto* byName = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->OriginalFirstThunk);
                 byName->u1.AddressOfData != 0; ++byName, ++slot)
            {
                if (IMAGE_SNAP_BY_ORDINAL(byName->u1.Ordinal))
                    continue;
                const auto* entry = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + byName->u1.AddressOfData);
                for (auto& hook : s_hooks)
                    if (std::strcmp(reinterpret_cast<const char*>(entry->Name), hook.name) == 0)
                    {
                        DWORD protection = 0;
                        VirtualProtect(&slot->u1.Function, sizeof(void*), PAGE_READWRITE, &protection);
                        if (install)
                            hook.original = reinterpret_cast<void*>(slot->u1.Function);
                        slot->u1.Function = reinterpret_cast<ULONG_PTR>(install ? hook.call : hook.original);
                        VirtualProtect(&slot->u1.Function, sizeof(void*), protection, &protection);
                    }
            }
        }
    }

    Wow64::Platform m_earlier;
};
