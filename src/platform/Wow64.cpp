#include "platform/Wow64.h"

#include "errors/ErrorText.h"
#include "errors/Exceptions.h"
#include "files/Paths.h"
#include "handles/Handles.h"
#include "platform/Libraries.h"

namespace
{
    Wow64::Platform SystemPlatform()
    {
        const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
        Wow64::Platform platform;
        const auto isWow64Process = GetProc<BOOL(WINAPI*)(HANDLE, PBOOL)>(kernel32, "IsWow64Process");
        if (isWow64Process != nullptr)
        {
            BOOL wow64 = FALSE;
            if (!isWow64Process(GetCurrentProcess(), &wow64))
                throw Wow64Exception(L"IsWow64Process");
            platform.isWow64 = wow64 != FALSE;
        }
        platform.disableRedirection = GetProc<Wow64::DisableRedirection>(kernel32, "Wow64DisableWow64FsRedirection");
        platform.revertRedirection = GetProc<Wow64::RevertRedirection>(kernel32, "Wow64RevertWow64FsRedirection");
        return platform;
    }

    const Wow64::Platform* replaced = nullptr;

    // Upper case, without a trailing backslash; empty when the system does not tell.
    const String& SystemFolder()
    {
        static const String folder = Strings::ToUpper(Libraries::SystemFolder());
        return folder;
    }
}

namespace Wow64
{
    const Platform& Current()
    {
        if (replaced != nullptr)
            return *replaced;
        static const Platform system = SystemPlatform();
        return system;
    }

    Platform Replace(const Platform& answers)
    {
        static Platform stored;
        const Platform earlier = Current();
        stored = answers;
        replaced = &stored;
        return earlier;
    }

    bool IsWow64Process()
    {
        return Current().isWow64;
    }

    bool IsRedirected(const String& path)
    {
        if (!Current().isWow64 || path.empty())
            return false;
        const String& folder = SystemFolder();
        if (folder.empty())
            return false;
        const String full = Strings::ToUpper(Paths::GetFullPath(Paths::FromLongPath(path)));
        return full.compare(0, folder.size(), folder) == 0 &&
               (full.size() == folder.size() || full[folder.size()] == L'\\');
    }

    NativeScope::NativeScope(const String& path)
    {
        if (IsRedirected(path))
            TurnOff(path);
    }

    NativeScope::NativeScope(const String& path, const String& otherPath)
    {
        if (IsRedirected(path))
            TurnOff(path);
        else if (IsRedirected(otherPath))
            TurnOff(otherPath);
    }

    void NativeScope::TurnOff(const String& path)
    {
        const Platform& platform = Current();
        if (platform.disableRedirection == nullptr || platform.revertRedirection == nullptr)
            throw Wow64Exception(Strings::Format(
                L"Cannot reach %s of the 64-bit system: this system cannot turn off the file-system redirection "
                L"of a 32-bit program (no Wow64DisableWow64FsRedirection)",
                path.c_str()));
        if (!platform.disableRedirection(&m_previous))
        {
            const String error = ErrorText::FormatLastError();
            throw Wow64Exception(
                Strings::Format(L"Wow64DisableWow64FsRedirection() failed for %s: %s", path.c_str(), error.c_str()));
        }
        m_revert = platform.revertRedirection;
    }

    NativeScope::~NativeScope()
    {
        if (m_revert == nullptr)
            return;
        const DWORD lastError = GetLastError();
        // Nothing to be done when the system refuses: the thread keeps redirection off.
        m_revert(m_previous);
        SetLastError(lastError);
    }
}
