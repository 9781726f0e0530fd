#pragma once
// The lab's directory writer, shared by the lab QmVss.dll and x64\dozeZuz.exe: it hands the
// files of the lab domain controller's directory over into <target>\ntds and takes them back.
// Settings come from HKLM\SOFTWARE\Harborline Lab\<program> (a test sets them):
//   Directory  the directory's folder (default C:\WINDOWS\NTDS)
//   Log        where each call is recorded, one line each (default C:\HarborlineLab\vss.log)
//   Fail       nonzero: the call fails (the library throws, the tool exits with this code)

#include <windows.h>

#include <string>

namespace LabWriter
{
    DWORD Number(const wchar_t* program, const wchar_t* name, DWORD fallback);
    std::wstring Setting(const wchar_t* program, const wchar_t* name, const wchar_t* fallback);
    void Record(const wchar_t* program, const std::wstring& line);
    // Empty on success, else what went wrong.
    std::wstring HandOver(const wchar_t* program, const std::wstring& target);
    std::wstring TakeBack(const wchar_t* program, const std::wstring& target);
}
