#include "platform/Libraries.h"

#include "files/Directories.h"

#include <vector>

namespace Libraries
{
    String SystemFolder()
    {
        const UINT needed = GetSystemDirectoryW(nullptr, 0);
        if (needed == 0)
            return String();
        std::vector<wchar_t> buffer(needed + 1);
        const UINT length = GetSystemDirectoryW(buffer.data(), static_cast<UINT>(buffer.size()));
        if (length == 0 || length >= buffer.size())
            return String();
        return Directories::RemoveBackslash(String(buffer.data(), length));
    }

    HMODULE LoadFromSystemFolder(const wchar_t* name)
    {
        const String folder = SystemFolder();
        if (folder.empty())
            return nullptr;
        // Under WOW64 the system folder's name leads a 32-bit process to its own libraries.
        const String path = folder + L"\\" + name;
        return LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }

    String ModulePath(HMODULE module)
    {
        std::vector<wchar_t> path(MAX_PATH);
        for (;;)
        {
            const DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
            if (length == 0)
                return String();
            // A full buffer may hold a cut name (older systems set no error for it).
            if (length < path.size())
                return String(path.data(), length);
            path.resize(path.size() * 2);
        }
    }

    String OwnModuleFolder()
    {
        HMODULE self = nullptr;
        if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                reinterpret_cast<const wchar_t*>(&OwnModuleFolder), &self))
            return String();
        const String file = ModulePath(self);
        if (file.empty())
            return String();
        const size_t slash = file.rfind(L'\\');
        if (slash == String::npos)
        {
            SetLastError(ERROR_BAD_PATHNAME);
            return String();
        }
        return file.substr(0, slash + 1);
    }
}
