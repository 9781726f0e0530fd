#include "text/Secret.h"

#include <windows.h>

Secret::Secret(const wchar_t* text, size_t length) : m_text(text != nullptr ? text : L"", text != nullptr ? length : 0)
{
}

Secret::Secret(size_t length) : m_text(length, L'\0')
{
}

Secret::Secret(Secret&& other) noexcept
{
    m_text.swap(other.m_text);
    other.Wipe();
}

Secret& Secret::operator=(Secret&& other) noexcept
{
    if (this != &other)
    {
        Wipe();
        m_text.swap(other.m_text);
        other.Wipe();
    }
    return *this;
}

Secret::~Secret()
{
    Wipe();
}

void Secret::Truncate(size_t length) noexcept
{
    if (length >= m_text.size())
        return;
    SecureZeroMemory(&m_text[length], (m_text.size() - length) * sizeof(wchar_t));
    // Shrinking keeps the buffer: nothing is copied elsewhere.
    m_text.resize(length);
}

void Secret::Wipe() noexcept
{
    // Growing to the capacity never moves the text; the whole buffer is then ours to overwrite.
    m_text.resize(m_text.capacity());
    SecureZeroMemory(&m_text[0], m_text.size() * sizeof(wchar_t));
    m_text.clear();
}
