#include "xml/XmlPathSyntax.h"

namespace
{
    bool IsNameStart(wchar_t c)
    {
        return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || c == L'_' || c > 0x7F;
    }

    bool IsNameChar(wchar_t c)
    {
        return IsNameStart(c) || (c >= L'0' && c <= L'9') || c == L'-' || c == L'.';
    }

    bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

    bool IsSpace(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

    // Recursive-descent recogniser; each rule consumes its text and returns false on a
    // mismatch (the caller then rejects the whole query, so no backtracking is needed).
    class Parser
    {
    public:
        explicit Parser(const String& text) : m_text(text) {}

        bool ParseQuery()
        {
            if (m_text.empty())
                return false;
            if (Peek() == L'/')
            {
                ++m_position;
                if (AtEnd())
                    return true; // the document root
                if (Peek() == L'/')
                    ++m_position;
            }
            if (!ParseStep(true))
                return false;
            while (!AtEnd())
            {
                if (Peek() != L'/')
                    return false;
                ++m_position;
                if (Peek() == L'/')
                    ++m_position;
                if (!ParseStep(true))
                    return false;
            }
            return true;
        }

    private:
        bool AtEnd() const { return m_position >= m_text.size(); }
        wchar_t Peek(size_t ahead = 0) const
        {
            return m_position + ahead < m_text.size() ? m_text[m_position + ahead] : L'\0';
        }
        void SkipSpace()
        {
            while (IsSpace(Peek()))
                ++m_position;
        }
        bool Accept(const wchar_t* token)
        {
            const String::size_type length = wcslen(token);
            if (m_text.compare(m_position, length, token) != 0)
                return false;
            m_position += length;
            return true;
        }

        bool ParseNCName()
        {
            if (!IsNameStart(Peek()))
                return false;
            while (IsNameChar(Peek()))
                ++m_position;
            return true;
        }

        bool ParseNameTest()
        {
            if (Peek() == L'*')
            {
                ++m_position;
                return true;
            }
            if (!ParseNCName())
                return false;
            if (Peek() == L':')
            {
                ++m_position;
                if (Peek() == L'*')
                {
                    ++m_position;
                    return true;
                }
                return ParseNCName();
            }
            return true;
        }

        // withPredicates is false inside a predicate: nested predicates are not supported.
        bool ParseStep(bool withPredicates)
        {
            if (Accept(L".."))
                return true;
            if (Peek() == L'.')
            {
                ++m_position;
                return true;
            }
            if (Peek() == L'@')
            {
                ++m_position;
                return ParseNameTest();
            }
            if (!Accept(L"node()") && !Accept(L"text()") && !ParseNameTest())
                return false;
            // A name followed by '(' would be a function call, which the grammar lacks.
            if (Peek() == L'(')
                return false;
            while (withPredicates && Peek() == L'[')
            {
                if (!ParsePredicate())
                    return false;
            }
            return true;
        }

        bool ParsePredicate()
        {
            ++m_position; // '['
            SkipSpace();
            if (!ParseOrExpr())
                return false;
            SkipSpace();
            if (Peek() != L']')
                return false;
            ++m_position;
            return true;
        }

        // An operator keyword must stand alone: "order" is a name, not "or" + "der".
        bool AcceptKeyword(const wchar_t* keyword)
        {
            const size_t start = m_position;
            SkipSpace();
            if (Accept(keyword) && !IsNameChar(Peek()))
            {
                SkipSpace();
                return true;
            }
            m_position = start;
            return false;
        }

        bool ParseOrExpr()
        {
            if (!ParseAndExpr())
                return false;
            while (AcceptKeyword(L"or"))
            {
                if (!ParseAndExpr())
                    return false;
            }
            return true;
        }

        bool ParseAndExpr()
        {
            if (!ParseComparison())
                return false;
            while (AcceptKeyword(L"and"))
            {
                if (!ParseComparison())
                    return false;
            }
            return true;
        }

        bool ParseComparison()
        {
            if (!ParseOperand())
                return false;
            const size_t afterOperand = m_position;
            SkipSpace();
            if (Accept(L"!=") || Accept(L"="))
            {
                SkipSpace();
                return ParseOperand();
            }
            m_position = afterOperand;
            return true;
        }

        bool ParseOperand()
        {
            const wchar_t c = Peek();
            if (c == L'\'' || c == L'"')
                return ParseLiteral(c);
            if (IsDigit(c))
                return ParseNumber();
            if (!ParseStep(false))
                return false;
            while (Peek() == L'/')
            {
                ++m_position;
                if (!ParseStep(false))
                    return false;
            }
            return true;
        }

        bool ParseLiteral(wchar_t quote)
        {
            const String::size_type end = m_text.find(quote, m_position + 1);
            if (end == String::npos)
                return false;
            m_position = end + 1;
            return true;
        }

        bool ParseNumber()
        {
            while (IsDigit(Peek()))
                ++m_position;
            if (Peek() == L'.')
            {
                ++m_position;
                while (IsDigit(Peek()))
                    ++m_position;
            }
            return !IsNameChar(Peek()); // "12ab" is not a number
        }

        const String& m_text;
        size_t m_position = 0;
    };
}

bool XmlPathSyntax::IsWellFormed(const String& query)
{
    return Parser(query).ParseQuery();
}
