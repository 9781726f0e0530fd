#include "files/FileSystem.h"

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
}
