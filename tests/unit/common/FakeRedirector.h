#pragma once
// What a 32-bit process on 64-bit Windows sees, shown on a system that cannot run one. While a
// FakeRedirector lives, the process is a WOW64 process to Wow64::Current(), and this program's
// own file calls (those that go through its import table, which is where the code under test
// calls from) behave as the system's redirector makes them: a path below the system folder is
// sent to the SysWOW64 folder beside it unless the calling thread has turned redirection off
// through the calls handed to Wow64::Replace, and a library load fails while it is off (the
// 64-bit libraries would be found). Every call on a path below the system folder is recorded.
// One at a time, on one thread.

#include "files/Directories.h"
#include "files/Paths.h"
#include "platform/Libraries.h"
#include "text/Strings.h"
#include "platform/Wow64.h"

#include <windows.h>

#include <cstring>
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
        s_state = {};
        s_state.systemFolder = Strings::ToUpper(Libraries::SystemFolder());
        s_state.redirectedFolder = Directories::GetDirectory(Libraries::SystemFolder(), true) + L"\\SysWOW64";
        for (int slot = 0; slot < SlotCount; ++slot)
            Patch(Names[slot], Hooks[slot], &s_originals[slot]);
    }
    FakeRedirector(const FakeRedirector&) = delete;
    FakeRedirector& operator=(const FakeRedirector&) = delete;
    ~FakeRedirector()
    {
        for (int slot = 0; slot < SlotCount; ++slot)
            if (s_originals[slot] != nullptr)
                Patch(Names[slot], s_originals[slot], nullptr);
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
        int disables;
        int reverts;
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
        *previous = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(s_state.redirectionOff ? 1 : 0));
        s_state.redirectionOff = true;
        ++s_state.disables;
        return TRUE;
    }
    static BOOL WINAPI Revert(PVOID previous)
    {
        s_state.redirectionOff = previous != nullptr;
        ++s_state.reverts;
        return TRUE;
    }

    // The path the system would open: below the system folder and redirection on, the same path
    // below the SysWOW64 folder. Records the call.
    static String Redirect(const char* function, LPCWSTR path)
    {
        if (path == nullptr)
            return String();
        const String given = path;
        const bool longForm = given.compare(0, 4, L"\\\\?\\") == 0 && given.compare(0, 8, L"\\\\?\\UNC\\") != 0;
        const String full = Paths::GetFullPath(Paths::FromLongPath(given));
        const String& folder = s_state.systemFolder;
        const String upper = Strings::ToUpper(full);
        if (folder.empty() || upper.compare(0, folder.size(), folder) != 0 ||
            (upper.size() != folder.size() && upper[folder.size()] != L'\\'))
            return given;
        s_state.calls.push_back({function, given, s_state.redirectionOff});
        if (s_state.redirectionOff)
            return given;
        return (longForm ? L"\\\\?\\" : L"") + s_state.redirectedFolder + full.substr(folder.size());
    }
    // A null path stays null (MoveFileEx's "delete at the next start").
    static LPCWSTR Argument(const String& redirected, LPCWSTR given) { return given ? redirected.c_str() : nullptr; }

    // The kernel32 functions replaced: the file calls, then the library loads.
    enum { FirstLoad = 10, SlotCount = 12 };
    static constexpr const char* Names[SlotCount] = {
        "CreateFileW", "CreateDirectoryW", "DeleteFileW", "FindFirstFileW", "GetFileAttributesW", "GetFileAttributesExW",
        "SetFileAttributesW", "RemoveDirectoryW", "CopyFileW", "MoveFileExW", "LoadLibraryW", "LoadLibraryExW"};
    static inline void* s_originals[SlotCount] = {};

    template <int Slot, typename Function>
    struct Hook;
    template <int Slot, typename Result, typename... Rest>
    struct Hook<Slot, Result(WINAPI*)(LPCWSTR, Rest...)>
    {
        static Result WINAPI Call(LPCWSTR name, Rest... rest)
        {
            const auto original = reinterpret_cast<Result(WINAPI*)(LPCWSTR, Rest...)>(s_originals[Slot]);
            if (Slot < FirstLoad)
                return original(Argument(Redirect(Names[Slot], name), name), rest...);
            if (!s_state.redirectionOff)
                return original(name, rest...);
            s_state.calls.push_back({Names[Slot], name != nullptr ? name : L"", true});
            SetLastError(ERROR_BAD_EXE_FORMAT);
            return Result();
        }
    };
    template <int Slot, typename Result, typename Third>
    struct Hook<Slot, Result(WINAPI*)(LPCWSTR, LPCWSTR, Third)>
    {
        static Result WINAPI Call(LPCWSTR from, LPCWSTR to, Third third)
        {
            const String target = Redirect(Names[Slot], to);
            return reinterpret_cast<Result(WINAPI*)(LPCWSTR, LPCWSTR, Third)>(s_originals[Slot])(
                Redirect(Names[Slot], from).c_str(), Argument(target, to), third);
        }
    };
    template <int Slot, typename Function>
    static void* HookOf(Function)
    {
        return reinterpret_cast<void*>(&Hook<Slot, Function>::Call);
    }
    static inline void* const Hooks[SlotCount] = {
        HookOf<0>(&CreateFileW),        HookOf<1>(&CreateDirectoryW),   HookOf<2>(&DeleteFileW),
        HookOf<3>(&FindFirstFileW),     HookOf<4>(&GetFileAttributesW), HookOf<5>(&GetFileAttributesExW),
        HookOf<6>(&SetFileAttributesW), HookOf<7>(&RemoveDirectoryW),   HookOf<8>(&CopyFileW),
        HookOf<9>(&MoveFileExW),        HookOf<10>(&LoadLibraryW),      HookOf<11>(&LoadLibraryExW)};

    // Puts replacement into the program's import slot of kernel32's function name; the slot's
    // earlier content goes to original (when given). A function the program does not import is
    // left alone.
    static void Patch(const char* name, void* replacement, void** original)
    {
        BYTE* const base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        for (auto* module = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
             module->Name != 0; ++module)
        {
            if (_stricmp(reinterpret_cast<const char*>(base + module->Name), "kernel32.dll") != 0)
                continue;
            auto* byName = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->OriginalFirstThunk);
            auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->FirstThunk);
            for (; byName->u1.AddressOfData != 0; ++byName, ++slot)
            {
                if (IMAGE_SNAP_BY_ORDINAL(byName->u1.Ordinal))
                    continue;
                const auto* entry = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + byName->u1.AddressOfData);
                if (std::strcmp(reinterpret_cast<const char*>(entry->Name), name) != 0)
                    continue;
                DWORD protection = 0;
                VirtualProtect(&slot->u1.Function, sizeof(void*), PAGE_READWRITE, &protection);
                if (original != nullptr)
                    *original = reinterpret_cast<void*>(slot->u1.Function);
                slot->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
                VirtualProtect(&slot->u1.Function, sizeof(void*), protection, &protection);
                return;
            }
        }
    }

    Wow64::Platform m_earlier;
};
