#include "Json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{
    void WriteText(std::string& out, const String& text)
    {
        out += '"';
        for (char c : Strings::ToUtf8(text))
        {
            const auto byte = static_cast<unsigned char>(c);
            if (c == '"' || c == '\\')
                (out += '\\') += c;
            else if (c == '\n')
                out += "\\n";
            else if (c == '\r')
                out += "\\r";
            else if (c == '\t')
                out += "\\t";
            else if (byte < 0x20)
            {
                char escape[8];
                snprintf(escape, sizeof escape, "\\u%04x", byte);
                out += escape;
            }
            else
                out += c;
        }
        out += '"';
    }

    class Parser
    {
    public:
        explicit Parser(const std::string& text) : m_text(text) {}

        JsonValue Document()
        {
            JsonValue value = Value(0);
            SkipBlanks();
            if (m_at != m_text.size())
                throw Invalid("text after the value");
            return value;
        }

    private:
        // What the parser throws: where in the text it stopped, and why.
        JsonException Invalid(const char* what) const
        {
            return JsonException(Strings::Format(L"Invalid JSON at offset %u: %S", static_cast<unsigned>(m_at), what));
        }

        void SkipBlanks()
        {
            while (m_at < m_text.size() && (m_text[m_at] == ' ' || m_text[m_at] == '\t' || m_text[m_at] == '\n' ||
                                            m_text[m_at] == '\r'))
                ++m_at;
        }

        bool Take(char c)
        {
            SkipBlanks();
            if (m_at < m_text.size() && m_text[m_at] == c)
            {
                ++m_at;
                return true;
            }
            return false;
        }

        bool TakeWord(const char* word)
        {
            const size_t length = strlen(word);
            if (m_text.compare(m_at, length, word) != 0)
                return false;
            m_at += length;
            return true;
        }

        JsonValue Value(int depth)
        {
            // Deep enough for any report of ours; a limit keeps hostile input off the stack.
            if (depth > 64)
                throw Invalid("nested too deeply");
            SkipBlanks();
            if (m_at >= m_text.size())
                throw Invalid("value expected");
            const char c = m_text[m_at];
            if (c == '{')
            {
                ++m_at;
                JsonValue object = JsonValue::Object();
                if (Take('}'))
                    return object;
                do
                {
                    SkipBlanks();
                    if (m_at >= m_text.size() || m_text[m_at] != '"')
                        throw Invalid("member name expected");
                    const String name = Text();
                    if (!Take(':'))
                        throw Invalid("':' expected");
                    object.Set(name, Value(depth + 1));
                } while (Take(','));
                if (!Take('}'))
                    throw Invalid("'}' expected");
                return object;
            }
            if (c == '[')
            {
                ++m_at;
                JsonValue array = JsonValue::Array();
                if (Take(']'))
                    return array;
                do
                    array.Add(Value(depth + 1));
                while (Take(','));
                if (!Take(']'))
                    throw Invalid("']' expected");
                return array;
            }
            if (c == '"')
                return JsonValue(Text());
            if (TakeWord("true"))
                return JsonValue(true);
            if (TakeWord("false"))
                return JsonValue(false);
            if (TakeWord("null"))
                return JsonValue();
            return Number();
        }

        JsonValue Number()
        {
            const size_t start = m_at;
            if (m_at < m_text.size() && m_text[m_at] == '-')
                ++m_at;
            while (m_at < m_text.size() && strchr("0123456789.eE+-", m_text[m_at]) != nullptr)
                ++m_at;
            const std::string digits = m_text.substr(start, m_at - start);
            char* end = nullptr;
            const double value = strtod(digits.c_str(), &end);
            if (digits.empty() || end != digits.c_str() + digits.size())
                throw Invalid("value expected");
            return JsonValue(value);
        }

        unsigned Hex4()
        {
            if (m_at + 4 > m_text.size())
                throw Invalid("four hex digits expected");
            unsigned value = 0;
            for (int i = 0; i < 4; ++i)
            {
                const char c = m_text[m_at++];
                value <<= 4;
                if (c >= '0' && c <= '9')
                    value |= c - '0';
                else if (c >= 'a' && c <= 'f')
                    value |= c - 'a' + 10;
                else if (c >= 'A' && c <= 'F')
                    value |= c - 'A' + 10;
                else
                    throw Invalid("four hex digits expected");
            }
            return value;
        }

        String Text()
        {
            ++m_at;   // the opening quote
            std::string utf8;
            String escaped;   // \u escapes are UTF-16 units already
            auto flush = [&] {
                escaped += Strings::FromUtf8(utf8);
                utf8.clear();
            };
            for (;;)
            {
                if (m_at >= m_text.size())
                    throw Invalid("unterminated string");
                const char c = m_text[m_at++];
                if (c == '"')
                    break;
                if (static_cast<unsigned char>(c) < 0x20)
                    throw Invalid("control character in a string");
                if (c != '\\')
                {
                    utf8 += c;
                    continue;
                }
                if (m_at >= m_text.size())
                    throw Invalid("unterminated string");
                const char e = m_text[m_at++];
                switch (e)
                {
                case '"': utf8 += '"'; break;
                case '\\': utf8 += '\\'; break;
                case '/': utf8 += '/'; break;
                case 'b': utf8 += '\b'; break;
                case 'f': utf8 += '\f'; break;
                case 'n': utf8 += '\n'; break;
                case 'r': utf8 += '\r'; break;
                case 't': utf8 += '\t'; break;
                case 'u':
                    flush();
                    escaped += static_cast<wchar_t>(Hex4());
                    break;
                default: throw Invalid("unknown escape");
                }
            }
            flush();
            return escaped;
        }

        const std::string& m_text;
        size_t m_at = 0;
    };
}

JsonValue& JsonValue::Add(JsonValue value)
{
    m_items.push_back(std::move(value));
    return m_items.back();
}

JsonValue& JsonValue::Set(const String& name, JsonValue value)
{
    for (auto& member : m_members)
        if (member.first == name)
            return member.second = std::move(value);
    m_members.emplace_back(name, std::move(value));
    return m_members.back().second;
}

const JsonValue& JsonValue::operator[](const String& name) const
{
    static const JsonValue none;
    for (const auto& member : m_members)
        if (member.first == name)
            return member.second;
    return none;
}

void JsonValue::WriteTo(std::string& out, int depth) const
{
    const std::string indent(2 * (depth + 1), ' ');
    switch (m_kind)
    {
    case Kind::Null: out += "null"; break;
    case Kind::Boolean: out += m_boolean ? "true" : "false"; break;
    case Kind::Number:
    {
        char number[40];
        // Counts stay exact integers; times keep three decimals.
        if (std::floor(m_number) == m_number && std::fabs(m_number) < 1e17)
            snprintf(number, sizeof number, "%.0f", m_number);
        else
            snprintf(number, sizeof number, "%.3f", m_number);
        out += number;
        break;
    }
    case Kind::Text: WriteText(out, m_text); break;
    case Kind::Array:
        if (m_items.empty())
        {
            out += "[]";
            break;
        }
        out += "[\n";
        for (size_t i = 0; i < m_items.size(); ++i)
        {
            out += indent;
            m_items[i].WriteTo(out, depth + 1);
            out += i + 1 < m_items.size() ? ",\n" : "\n";
        }
        out += std::string(2 * depth, ' ') + "]";
        break;
    case Kind::Object:
        if (m_members.empty())
        {
            out += "{}";
            break;
        }
        out += "{\n";
        for (size_t i = 0; i < m_members.size(); ++i)
        {
            out += indent;
            WriteText(out, m_members[i].first);
            out += ": ";
            m_members[i].second.WriteTo(out, depth + 1);
            out += i + 1 < m_members.size() ? ",\n" : "\n";
        }
        out += std::string(2 * depth, ' ') + "}";
        break;
    }
}

std::string JsonValue::Write() const
{
    std::string out;
    WriteTo(out, 0);
    return out + "\n";
}

JsonValue JsonValue::Parse(const std::string& utf8)
{
    return Parser(utf8).Document();
}
