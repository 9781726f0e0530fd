#pragma once
// A private folder below the temporary directory, emptied before use and removed afterwards.

#include "common/Strings.h"

#include <windows.h>

#include <string>

class ScratchDirectory
{
public:
    explicit ScratchDirectory(const String& name);
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    // The folder, without a trailing backslash.
    const String& Path() const { return m_path; }
    String operator/(const String& relative) const { return m_path + L'\\' + relative; }

private:
    String m_path;
};

// Small file helpers for tests; they go through the long form so deep paths work.
void WriteTextFile(const String& path, const std::string& content);
std::string ReadTextFile(const String& path);
bool IsDirectoryOnDisk(const String& path);
bool IsFileOnDisk(const String& path);
