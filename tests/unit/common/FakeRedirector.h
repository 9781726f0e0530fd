#pragma once
// What a 32-bit process on 64-bit Windows sees, shown on a system that cannot run one. While a
// FakeRedirector lives, the process is a WOW64 process to Wow64::Current(), and this program's
// own file calls (those that go through its import table, which is where the code under test
// calls from) behave as the system's redirector makes them: a path below the system folder is
// sent to the SysWOW64 folder beside it unless the calling thread has turned redirection off
// through the calls handed to Wow64::Replace, and a library load fails while it is off (the
// 64-bit libraries would be found). Every call on a path below the system folder is recorded.
// One at a time, on one thread.

#include "common/FileSystem.h"
#include "common/Strings.h"
#include "common/Wow64.h"

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
        for (const Hook& hook : Hooks())
            Patch(hook.name, hook.replacement, hook.original);
    }
    FakeRedirector(const FakeRedirector&) = delete;
    FakeRedirector& operator=(const FakeRedirector&) = delete;
    ~FakeRedirector()
    {
        for (const Hook& hook : Hooks())
            if (*hook.original != nullptr)
                Patch(hook.name, *hook.original, nullptr);
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

    static HANDLE WINAPI CreateFileHook(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                        DWORD disposition, DWORD flags, HANDLE templateFile)
    {
        return Original<decltype(&CreateFileW)>(0)(Redirect("CreateFileW", name).c_str(), access, share, security,
                                                   disposition, flags, templateFile);
    }
    static BOOL WINAPI CreateDirectoryHook(LPCWSTR name, LPSECURITY_ATTRIBUTES security)
    {
        return Original<decltype(&CreateDirectoryW)>(1)(Redirect("CreateDirectoryW", name).c_str(), security);
    }
    static BOOL WINAPI DeleteFileHook(LPCWSTR name)
    {
        return Original<decltype(&DeleteFileW)>(2)(Redirect("DeleteFileW", name).c_str());
    }
    static HANDLE WINAPI FindFirstFileHook(LPCWSTR name, LPWIN32_FIND_DATAW data)
    {
        return Original<decltype(&FindFirstFileW)>(3)(Redirect("FindFirstFileW", name).c_str(), data);
    }
    static DWORD WINAPI GetFileAttributesHook(LPCWSTR name)
    {
        return Original<decltype(&GetFileAttributesW)>(4)(Redirect("GetFileAttributesW", name).c_str());
    }
    static BOOL WINAPI GetFileAttributesExHook(LPCWSTR name, GET_FILEEX_INFO_LEVELS level, LPVOID data)
    {
        return Original<decltype(&GetFileAttributesExW)>(5)(Redirect("GetFileAttributesExW", name).c_str(), level,
                                                             data);
    }
    static BOOL WINAPI SetFileAttributesHook(LPCWSTR name, DWORD attributes)
    {
        return Original<decltype(&SetFileAttributesW)>(6)(Redirect("SetFileAttributesW", name).c_str(), attributes);
    }
    static BOOL WINAPI RemoveDirectoryHook(LPCWSTR name)
    {
        return Original<decltype(&RemoveDirectoryW)>(7)(Redirect("RemoveDirectoryW", name).c_str());
    }
    static BOOL WINAPI CopyFileHook(LPCWSTR from, LPCWSTR to, BOOL failIfExists)
    {
        return Original<decltype(&CopyFileW)>(8)(Redirect("CopyFileW", from).c_str(),
                                                 Redirect("CopyFileW", to).c_str(), failIfExists);
    }
    static BOOL WINAPI MoveFileExHook(LPCWSTR from, LPCWSTR to, DWORD flags)
    {
        const String target = Redirect("MoveFileExW", to);
        return Original<decltype(&MoveFileExW)>(9)(Redirect("MoveFileExW", from).c_str(),
                                                   to == nullptr ? nullptr : target.c_str(), flags);
    }
    static HMODULE WINAPI LoadLibraryHook(LPCWSTR name)
    {
        if (State().redirectionOff)
            return Refused("LoadLibraryW", name);
        return Original<decltype(&LoadLibraryW)>(10)(name);
    }
    static HMODULE WINAPI LoadLibraryExHook(LPCWSTR name, HANDLE file, DWORD flags)
    {
        if (State().redirectionOff)
            return Refused("LoadLibraryExW", name);
        return Original<decltype(&LoadLibraryExW)>(11)(name, file, flags);
    }
    static HMODULE Refused(const char* function, LPCWSTR name)
    {
        State().calls.push_back({function, name != nullptr ? name : L"", true});
        SetLastError(ERROR_BAD_EXE_FORMAT);
        return nullptr;
    }

    struct Hook
    {
        const char* name;
        void* replacement;
        void** original;
    };
    static void** Slots()
    {
        static void* originals[12] = {};
        return originals;
    }
    template <typename Function>
    static Function Original(int index)
    {
        return reinterpret_cast<Function>(Slots()[index]);
    }
    static const std::vector<Hook>& Hooks()
    {
        void** slots = Slots();
        static const std::vector<Hook> hooks = {
            {"CreateFileW", reinterpret_cast<void*>(&CreateFileHook), &slots[0]},
            {"CreateDirectoryW", reinterpret_cast<void*>(&CreateDirectoryHook), &slots[1]},
            {"DeleteFileW", reinterpret_cast<void*>(&DeleteFileHook), &slots[2]},
            {"FindFirstFileW", reinterpret_cast<void*>(&FindFirstFileHook), &slots[3]},
            {"GetFileAttributesW", reinterpret_cast<void*>(&GetFileAttributesHook), &slots[4]},
            {"GetFileAttributesExW", reinterpret_cast<void*>(&GetFileAttributesExHook), &slots[5]},
            {"SetFileAttributesW", reinterpret_cast<void*>(&SetFileAttributesHook), &slots[6]},
            {"RemoveDirectoryW", reinterpret_cast<void*>(&RemoveDirectoryHook), &slots[7]},
            {"CopyFileW", reinterpret_cast<void*>(&CopyFileHook), &slots[8]},
            {"MoveFileExW", reinterpret_cast<void*>(&MoveFileExHook), &slots[9]},
            {"LoadLibraryW", reinterpret_cast<void*>(&LoadLibraryHook), &slots[10]},
            {"LoadLibraryExW", reinterpret_cast<void*>(&LoadLibraryExHook), &slots[11]},
        };
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
