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
        State() = {};
        State().systemFolder = Strings::ToUpper(Libraries::SystemFolder());
        State().redirectedFolder = RedirectedFolder();
        for (int slot = 0; slot < SlotCount; ++slot)
            Patch(Names[slot], Hooks()[slot], &Originals()[slot]);
    }
    FakeRedirector(const FakeRedirector&) = delete;
    FakeRedirector& operator=(const FakeRedirector&) = delete;
    ~FakeRedirector()
    {
        for (int slot = 0; slot < SlotCount; ++slot)
            if (Originals()[slot] != nullptr)
                Patch(Names[slot], Originals()[slot], nullptr);
        Wow64::Replace(m_earlier);
    }

    static bool RedirectionOff() { return State().redirectionOff; }
    static const std::vector<Call>& Calls() { return State().calls; }
    static int Disables() { return State().disables; }
    static int Reverts() { return State().reverts; }
    // The next disable call fails with this error (0: succeeds).
    static void FailNextDisable(DWORD error) { State().failNextDisable = error; }
    // The folder a redirected path goes to ("C:\windows\SysWOW64").
    static String RedirectedFolder()
    {
        return Directories::GetDirectory(Libraries::SystemFolder(), true) + L"\\SysWOW64";
    }

private:
    struct Shared
    {
        String systemFolder;
        String redirectedFolder;
        bool redirectionOff = false;
        int disables = 0;
        int reverts = 0;
        DWORD failNextDisable = 0;
        std::vector<Call> calls;
    };
    static Shared& State()
    {
        static Shared shared;
        return shared;
    }

    static BOOL WINAPI Disable(PVOID* previous)
    {
        if (State().failNextDisable != 0)
        {
            SetLastError(State().failNextDisable);
            State().failNextDisable = 0;
            return FALSE;
        }
        *previous = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(State().redirectionOff ? 1 : 0));
        State().redirectionOff = true;
        ++State().disables;
        return TRUE;
    }
    static BOOL WINAPI Revert(PVOID previous)
    {
        State().redirectionOff = previous != nullptr;
        ++State().reverts;
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
        const String& folder = State().systemFolder;
        const String upper = Strings::ToUpper(full);
        if (folder.empty() || upper.compare(0, folder.size(), folder) != 0 ||
            (upper.size() != folder.size() && upper[folder.size()] != L'\\'))
            return given;
        State().calls.push_back({function, given, State().redirectionOff});
        if (State().redirectionOff)
            return given;
        return (longForm ? L"\\\\?\\" : L"") + State().redirectedFolder + full.substr(folder.size());
    }
    // A null path stays null (MoveFileEx's "delete at the next start").
    static LPCWSTR Argument(const String& redirected, LPCWSTR given) { return given ? redirected.c_str() : nullptr; }

    // The kernel32 functions replaced: the file calls, then the library loads.
    enum { FirstLoad = 10, SlotCount = 12 };
    static constexpr const char* Names[SlotCount] = {
        "CreateFileW", "CreateDirectoryW", "DeleteFileW", "FindFirstFileW", "GetFileAttributesW", "GetFileAttributesExW",
        "SetFileAttributesW", "RemoveDirectoryW", "CopyFileW", "MoveFileExW", "LoadLibraryW", "LoadLibraryExW"};
    static void** Originals()
    {
        static void* originals[SlotCount] = {};
        return originals;
    }

    template <int Slot, typename Function>
    struct Hook;
    template <int Slot, typename Result, typename... Rest>
    struct Hook<Slot, Result(WINAPI*)(LPCWSTR, Rest...)>
    {
        using Function = Result(WINAPI*)(LPCWSTR, Rest...);
        static Result WINAPI Call(LPCWSTR name, Rest... rest)
        {
            const auto original = reinterpret_cast<Function>(Originals()[Slot]);
            if (Slot >= FirstLoad)
            {
                if (!State().redirectionOff)
                    return original(name, rest...);
                State().calls.push_back({Names[Slot], name != nullptr ? name : L"", true});
                SetLastError(ERROR_BAD_EXE_FORMAT);
                return Result();
            }
            return original(Argument(Redirect(Names[Slot], name), name), rest...);
        }
    };
    template <int Slot, typename Result, typename Third>
    struct Hook<Slot, Result(WINAPI*)(LPCWSTR, LPCWSTR, Third)>
    {
        static Result WINAPI Call(LPCWSTR from, LPCWSTR to, Third third)
        {
            const String target = Redirect(Names[Slot], to);
            return reinterpret_cast<Result(WINAPI*)(LPCWSTR, LPCWSTR, Third)>(Originals()[Slot])(
                Redirect(Names[Slot], from).c_str(), Argument(target, to), third);
        }
    };
    template <int Slot, typename Function>
    static void* HookOf(Function)
    {
        return reinterpret_cast<void*>(&Hook<Slot, Function>::Call);
    }
    static void* const* Hooks()
    {
        static void* const hooks[SlotCount] = {
            HookOf<0>(&CreateFileW),        HookOf<1>(&CreateDirectoryW),   HookOf<2>(&DeleteFileW),
            HookOf<3>(&FindFirstFileW),     HookOf<4>(&GetFileAttributesW), HookOf<5>(&GetFileAttributesExW),
            HookOf<6>(&SetFileAttributesW), HookOf<7>(&RemoveDirectoryW),   HookOf<8>(&CopyFileW),
            HookOf<9>(&MoveFileExW),        HookOf<10>(&LoadLibraryW),      HookOf<11>(&LoadLibraryExW)};
        return hooks;
    }

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
