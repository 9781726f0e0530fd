#pragma once
// Manifest test helper: a check of a saved document that does not go through the DOM that wrote it.

#include "ScratchDirectory.h"

#include <gtest/gtest.h>

#include <string>

namespace XmlTestSupport
{
    // Names of the start tags in the order they appear in the text.
    inline std::string ElementOrder(const std::string& xml)
    {
        std::string names;
        for (std::string::size_type i = xml.find('<'); i != std::string::npos; i = xml.find('<', i + 1))
        {
            const char next = i + 1 < xml.size() ? xml[i + 1] : '\0';
            if (next == '/' || next == '?' || next == '!')
                continue;
            const std::string::size_type end = xml.find_first_of(" \t\r\n/>", i + 1);
            if (!names.empty())
                names += ' ';
            names += xml.substr(i + 1, end - i - 1);
        }
        return names;
    }
}
