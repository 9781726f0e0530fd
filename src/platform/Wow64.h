#pragma once
// WOW64 in one place: whether this is a 32-bit process on 64-bit Windows, and the scope in which
// a path below the system folder names the 64-bit system's own file.
//
// Under WOW64 the system sends a 32-bit process's file calls on the system folder
// (%SystemRoot%\System32) to the 32-bit system's folder (SysWOW64), unless the calling thread
// has turned that redirection off. With redirection off, library loads find the 64-bit
// libraries and fail, also the delayed loads inside system calls (and a delayed load that failed
// once stays failed). So a NativeScope spans plain file calls only, never a call that may load a
// library: the shell, COM, RPC, another component's library.

#include "text/Strings.h"

#include <windows.h>

namespace Wow64
{
    using DisableRedirection = BOOL(WINAPI*)(PVOID*);
    using RevertRedirection = BOOL(WINAPI*)(PVOID);

    // What the decisions rest on.
    struct Platform
    {
        bool isWow64 = false;                             // a 32-bit process on 64-bit Windows
        DisableRedirection disableRedirection = nullptr;  // null where the system lacks the call
        RevertRedirection revertRedirection = nullptr;
    };

    // The answers this process works with: the system's, asked once. IsWow64Process and the two
    // redirection calls are looked up at run time (Windows Server 2003 before SP1 has none of
    // them); a system without IsWow64Process is no WOW64 system. Throws
    // Wow64Exception("IsWow64Process") when the query exists and fails (asked again next time).
    const Platform& Current();

    // Puts answers in the system's place for the whole process and gives back the earlier ones:
    // for showing what happens under WOW64 on a system that does not run it. Not thread-safe.
    Platform Replace(const Platform& answers);

    // Current().isWow64.
    bool IsWow64Process();

    // Whether a file call of this process on path is redirected: under WOW64, when path (made
    // full; long form or not, in any case) is the system folder or lies below it. A share path is
    // never redirected. Never throws but for memory.
    bool IsRedirected(const String& path);

    // While it lives, the calling thread's file calls on the paths it was made for reach the
    // 64-bit system's files: redirection is turned off when one of them IsRedirected, and put back
    // as it was at the end of the scope, on every way out. Scopes nest. Throws Wow64Exception,
    // naming the path, when redirection cannot be turned off (the call is missing or fails);
    // nothing is changed then. Keeps the caller's last error at its end.
    class NativeScope
    {
    public:
        explicit NativeScope(const String& path);
        NativeScope(const String& path, const String& otherPath);
        NativeScope(const NativeScope&) = delete;
        NativeScope& operator=(const NativeScope&) = delete;
        ~NativeScope();

        // Whether this scope turned redirection off.
        bool IsRedirectionOff() const { return m_revert != nullptr; }

    private:
        void TurnOff(const String& path);

        RevertRedirection m_revert = nullptr;
        PVOID m_previous = nullptr;
    };
}
