#pragma once
// A password or other secret text, in one owner that wipes its characters from memory when it
// goes, when it is cleared and when its text moves to another owner: a secret must not linger in
// freed memory after use.

#include "text/Strings.h"

#include <cstddef>

class Secret
{
public:
    Secret() = default;
    // A copy of length characters of text (which may be null when length is 0).
    Secret(const wchar_t* text, size_t length);
    // Room for length characters, all zero, to be filled in place through Data().
    explicit Secret(size_t length);
    // Takes other's text; other is left empty and wiped.
    Secret(Secret&& other) noexcept;
    Secret& operator=(Secret&& other) noexcept;
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    ~Secret();

    const String& Get() const { return m_text; }
    wchar_t* Data() { return &m_text[0]; }
    size_t Size() const { return m_text.size(); }
    bool Empty() const { return m_text.empty(); }
    // Drops the characters from length on (a shorter length only); they are wiped first.
    void Truncate(size_t length) noexcept;
    // Overwrites every character the owner holds, its spare room included, and leaves it empty.
    void Wipe() noexcept;

private:
    String m_text;
};
