#pragma once
// Shared by the unit and COM tests (and bringing the test framework): a private folder below the
// temporary directory (named after the test and the process, emptied before use and removed
// afterwards), file helpers and the texts a test compares.

#include "text/Strings.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

class ScratchDirectory
{
public:
    ScratchDirectory(); // named after the running test
    explicit ScratchDirectory(const String& name);
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const String& Path() const { return m_path; } // without a trailing backslash
    String operator/(const String& relative) const { return m_path + L'\\' + relative; }

private:
    String m_path;
};

// stem and this process's id: a name (of a key, a device, an environment variable) no other test
// process uses.
inline String Unique(const wchar_t* stem) { return Strings::Format(L"%s%lu", stem, GetCurrentProcessId()); }

// Through the long form, so deep paths work; a missing file reads as "<missing>".
void WriteTextFile(const String& path, const std::string& content);
std::string ReadTextFile(const String& path);
bool IsDirectoryOnDisk(const String& path);
bool IsFileOnDisk(const String& path);

// The message of the module exception that `call` throws; "(nothing thrown)" when it throws none.
template <typename ExceptionType, typename Call>
String MessageOf(Call call)
{
    try
    {
        call();
    }
    catch (const ExceptionType& error)
    {
        return error.GetMessage();
    }
    return L"(nothing thrown)";
}

// "Error = 0x%08lX" of the code, and a blank and the system's own text when FormatMessageW has one.
String SystemErrorText(DWORD code);

// Names of the start tags of an XML text in order, read without the DOM that wrote it.
std::string ElementOrder(const std::string& xml);
