#include "platform/EnvironmentVariables.h"

#include "files/Directories.h"

#include <cwchar>

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
