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

    String OwnModuleFolder()
    {
        HMODULE self = nullptr;
        std::vector<wchar_t> path(MAX_PATH);
        if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                reinterpret_cast<const wchar_t*>(&OwnModuleFolder), &self))
            return String();
        for (;;)
        {
            const DWORD length = GetModuleFileNameW(self, path.data(), static_cast<DWORD>(path.size()));
            if (length == 0)
                return String();
            // A full buffer may hold a cut name (older systems set no error for it).
            if (length < path.size())
            {
                const String file(path.data(), length);
                const size_t slash = file.rfind(L'\\');
                if (slash == String::npos)
                {
                    SetLastError(ERROR_BAD_PATHNAME);
                    return String();
                }
                return file.substr(0, slash + 1);
            }
            path.resize(path.size() * 2);
        }
    }
}
