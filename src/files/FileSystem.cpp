#include "files/FileSystem.h"

#include "errors/ErrorText.h"
#include "errors/Exceptions.h"
#include "files/Internal.h"
#include "handles/Handles.h"

#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

using namespace FilesInternal;

namespace Paths
{
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

HRESULT EnvironmentVariables::ExpandBelowSystemRoot(const String& name, String& folder)
{
    if (Expand(L"%SystemRoot%", folder) != S_OK)
        return E_FAIL;
    folder = Directories::RemoveBackslash(folder) + L'\\' + name;
    return S_OK;
}

HRESULT EnvironmentVariables::Expand(const String& source, String& expanded)
{
    const DWORD classicSize = 260;
    expanded.assign(classicSize, L'\0');
    DWORD result = ExpandEnvironmentStringsW(source.c_str(), &expanded[0], classicSize);
    // A longer expansion reports the size it needs instead of expanding: give it that much.
    if (result > classicSize)
    {
        expanded.assign(result, L'\0');
        result = ExpandEnvironmentStringsW(source.c_str(), &expanded[0], result);
    }
    if (result == 0 || result > expanded.size())
    {
        expanded.clear();
        m_error += Strings::Format(L"ExpandEnvironmentStrings(%s, %s, %d) failed!", source.c_str(), expanded.c_str(),
                                   static_cast<int>(classicSize));
        return E_FAIL;
    }
    expanded.resize(wcslen(expanded.c_str()));
    return S_OK;
}
