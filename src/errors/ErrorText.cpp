#include "errors/ErrorText.h"

#include "errors/Exceptions.h"
#include "handles/Handles.h"

namespace ErrorText
{
    String Format(DWORD code)
    {
        String text = Strings::Format(L"Error = 0x%08lX", static_cast<unsigned long>(code));

        wchar_t* systemText = nullptr;
        const DWORD length = FormatMessageW(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
            nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
            reinterpret_cast<wchar_t*>(&systemText), 0, nullptr);
        const UniqueLocalMemory owner(systemText);
        if (systemText != nullptr && length > 0)
        {
            text += L' ';
            text.append(systemText, length);
        }
        return text;
    }

    String FormatLastError()
    {
        const DWORD code = GetLastError();
        return Format(code);
    }

    String FormatWin32(LONG code)
    {
        return Format(static_cast<DWORD>(HRESULT_FROM_WIN32(static_cast<unsigned long>(code))));
    }
}

String CWin32Exception::GetErrorMessage() const
{
    // Formatted into a buffer of this call's own: exceptions are described on any thread of a
    // free-threaded object, at the same time.
    wchar_t buffer[512];
    DWORD code = m_code;
    // The system may fail to format a code; then describe why, a bounded number of times.
    for (int attempt = 0; attempt < 4; ++attempt)
    {
        const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0, buffer, 511, nullptr);
        if (length != 0)
            return String(buffer, length);
        code = GetLastError();
    }
    return Strings::Format(L"Error = 0x%08lX", static_cast<unsigned long>(m_code));
}
