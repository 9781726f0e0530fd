#pragma once

#include "text/Strings.h"

#include <windows.h>

// Expansion of "%SystemRoot%" and the like; failures are collected in an error text.
class EnvironmentVariables
{
public:
    // S_OK, or E_FAIL with a message appended to the error text.
    HRESULT Expand(const String& source, String& expanded);
    // "%SystemRoot%\<name>", without a doubled backslash; as Expand when the root cannot be
    // expanded (folder is then empty).
    HRESULT ExpandBelowSystemRoot(const String& name, String& folder);
    String GetError() const { return m_error; }

private:
    String m_error;
};
