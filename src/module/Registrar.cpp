#include "module/Registrar.h"

#include "errors/Exceptions.h"
#include "handles/Handles.h"
#include "module/ComGuard.h"

#include <shlwapi.h>

#include <memory>
#include <vector>

namespace
{
    const CWin32Exception SyntaxError(L"Registrar: registry script", ERROR_INVALID_DATA);

    void Check(const wchar_t* call, LONG status)
    {
        if (status != ERROR_SUCCESS)
            throw CWin32Exception(call, static_cast<DWORD>(status));
    }

    struct Value
    {
        String name;     // empty: the default value
        bool isNumber = false;
        String text;
        DWORD number = 0;
    };

    struct Key
    {
        enum class Removal { Normal, Never, Whole } removal = Removal::Normal;
        String name;
        std::vector<Value> values;
        std::vector<Key> subkeys;
    };

    struct Root
    {
        HKEY key;
        std::vector<Key> subkeys;
    };

    struct Token
    {
        String text;
        bool quoted = false;
        bool Is(const wchar_t* word) const { return !quoted && Strings::EqualsNoCase(text, word); }
    };

    std::vector<Token> Tokenize(const String& script)
    {
        std::vector<Token> tokens;
        size_t i = 0;
        while (i < script.size())
        {
            const wchar_t c = script[i];
            if (iswspace(c))
            {
                ++i;
            }
            else if (c == L'{' || c == L'}' || c == L'=')
            {
                tokens.push_back({String(1, c), false});
                ++i;
            }
            else if (c == L'\'')
            {
                String text;
                ++i;
                for (;;)
                {
                    if (i >= script.size())
                        throw SyntaxError;
                    if (script[i] == L'\'')
                    {
                        if (i + 1 < script.size() && script[i + 1] == L'\'')
                        {
                            text += L'\'';
                            i += 2;
                            continue;
                        }
                        ++i;
                        break;
                    }
                    text += script[i++];
                }
                tokens.push_back({text, true});
            }
            else
            {
                const size_t start = i;
                while (i < script.size() && !iswspace(script[i]) && script[i] != L'{' && script[i] != L'}' &&
                       script[i] != L'=' && script[i] != L'\'')
                    ++i;
                tokens.push_back({script.substr(start, i - start), false});
            }
        }
        return tokens;
    }

    class Parser
    {
    public:
        Parser(std::vector<Token> tokens, const std::map<String, String>& replacements,
               const std::map<String, HKEY>& roots)
            : m_tokens(std::move(tokens)), m_replacements(replacements), m_roots(roots)
        {
        }

        std::vector<Root> ParseScript()
        {
            std::vector<Root> roots;
            while (!AtEnd())
            {
                const Token& name = Next();
                const auto found = m_roots.find(Strings::ToUpper(name.text));
                if (name.quoted || found == m_roots.end())
                    throw SyntaxError;
                Root root{found->second, {}};
                Expect(L"{");
                while (!Peek().Is(L"}"))
                    root.subkeys.push_back(ParseKey());
                Next();
                roots.push_back(std::move(root));
            }
            return roots;
        }

    private:
        bool AtEnd() const { return m_position >= m_tokens.size(); }
        const Token& Peek() const
        {
            if (AtEnd())
                throw SyntaxError;
            return m_tokens[m_position];
        }
        const Token& Next()
        {
            const Token& token = Peek();
            ++m_position;
            return token;
        }
        void Expect(const wchar_t* word)
        {
            if (!Next().Is(word))
                throw SyntaxError;
        }

        String Replace(const String& text) const
        {
            String result;
            size_t i = 0;
            while (i < text.size())
            {
                if (text[i] != L'%')
                {
                    result += text[i++];
                    continue;
                }
                const size_t end = text.find(L'%', i + 1);
                if (end == String::npos)
                    throw SyntaxError;
                const String name = text.substr(i + 1, end - i - 1);
                if (name.empty())
                {
                    result += L'%';
                }
                else
                {
                    const auto found = m_replacements.find(name);
                    if (found == m_replacements.end())
                        throw SyntaxError;
                    result += found->second;
                }
                i = end + 1;
            }
            return result;
        }

        String Name()
        {
            const Token& token = Next();
            if (!token.quoted && (token.text == L"{" || token.text == L"}" || token.text == L"="))
                throw SyntaxError;
            const String name = Replace(token.text);
            if (name.empty())
                throw SyntaxError;
            return name;
        }

        void ParseData(Value& value)
        {
            Expect(L"=");
            const Token& type = Next();
            const String data = Replace(Next().text);
            if (type.Is(L"s"))
            {
                value.text = data;
            }
            else if (type.Is(L"d"))
            {
                wchar_t* end = nullptr;
                value.number = wcstoul(data.c_str(), &end, 0);
                if (data.empty() || *end != L'\0')
                    throw SyntaxError;
                value.isNumber = true;
            }
            else
            {
                throw SyntaxError;
            }
        }

        Key ParseKey()
        {
            Key key;
            if (Peek().Is(L"NoRemove"))
            {
                key.removal = Key::Removal::Never;
                Next();
            }
            else if (Peek().Is(L"ForceRemove"))
            {
                key.removal = Key::Removal::Whole;
                Next();
            }
            key.name = Name();
            if (!AtEnd() && Peek().Is(L"="))
            {
                Value value;
                ParseData(value);
                key.values.push_back(std::move(value));
            }
            if (!AtEnd() && Peek().Is(L"{"))
            {
                Next();
                while (!Peek().Is(L"}"))
                {
                    if (Peek().Is(L"val"))
                    {
                        Next();
                        Value value;
                        value.name = Name();
                        ParseData(value);
                        key.values.push_back(std::move(value));
                    }
                    else
                    {
                        key.subkeys.push_back(ParseKey());
                    }
                }
                Next();
            }
            return key;
        }

        std::vector<Token> m_tokens;
        size_t m_position = 0;
        const std::map<String, String>& m_replacements;
        const std::map<String, HKEY>& m_roots;
    };

    void DeleteTree(HKEY parent, const String& name)
    {
        const DWORD status = SHDeleteKeyW(parent, name.c_str());
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
            Check(L"SHDeleteKey", static_cast<LONG>(status));
    }

    void RegisterKey(HKEY parent, const Key& key)
    {
        if (key.removal == Key::Removal::Whole)
            DeleteTree(parent, key.name);

        UniqueRegKey opened;
        Check(L"RegCreateKeyEx", RegCreateKeyExW(parent, key.name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                                 KEY_READ | KEY_WRITE, nullptr, opened.put(), nullptr));
        for (const Value& value : key.values)
        {
            const wchar_t* name = value.name.empty() ? nullptr : value.name.c_str();
            if (value.isNumber)
                Check(L"RegSetValueEx", RegSetValueExW(opened.get(), name, 0, REG_DWORD,
                                                       reinterpret_cast<const BYTE*>(&value.number), sizeof(value.number)));
            else
                Check(L"RegSetValueEx",
                      RegSetValueExW(opened.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.text.c_str()),
                                     static_cast<DWORD>((value.text.size() + 1) * sizeof(wchar_t))));
        }
        for (const Key& subkey : key.subkeys)
            RegisterKey(opened.get(), subkey);
    }

    void UnregisterKey(HKEY parent, const Key& key)
    {
        if (key.removal == Key::Removal::Whole)
        {
            DeleteTree(parent, key.name);
            return;
        }

        UniqueRegKey opened;
        const LONG status = RegOpenKeyExW(parent, key.name.c_str(), 0, KEY_READ | KEY_WRITE, opened.put());
        if (status == ERROR_FILE_NOT_FOUND)
            return;
        Check(L"RegOpenKeyEx", status);
        for (const Key& subkey : key.subkeys)
            UnregisterKey(opened.get(), subkey);
        if (key.removal == Key::Removal::Never)
            return;

        for (const Value& value : key.values)
        {
            if (value.name.empty())
                continue;
            const LONG deleted = RegDeleteValueW(opened.get(), value.name.c_str());
            if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND)
                Check(L"RegDeleteValue", deleted);
        }
        DWORD subkeyCount = 0;
        Check(L"RegQueryInfoKey", RegQueryInfoKeyW(opened.get(), nullptr, nullptr, nullptr, &subkeyCount, nullptr, nullptr,
                                                   nullptr, nullptr, nullptr, nullptr, nullptr));
        opened.reset();
        // Someone else's keys below it keep it alive.
        if (subkeyCount == 0)
        {
            const LONG deleted = RegDeleteKeyW(parent, key.name.c_str());
            if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND)
                Check(L"RegDeleteKey", deleted);
        }
    }
}

void Registrar::AddReplacement(const String& name, const String& value)
{
    m_replacements[name] = value;
}

void Registrar::MapRoot(const String& rootName, HKEY key)
{
    m_roots[Strings::ToUpper(rootName)] = key;
}

HRESULT Registrar::Register(const String& script)
{
    return Apply(script, true);
}

HRESULT Registrar::Unregister(const String& script)
{
    return Apply(script, false);
}

HRESULT Registrar::Apply(const String& script, bool doRegister)
{
    return ComGuard::Run([&]() -> HRESULT {
        std::map<String, HKEY> roots = {{L"HKCR", HKEY_CLASSES_ROOT}, {L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
                                        {L"HKLM", HKEY_LOCAL_MACHINE}, {L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
                                        {L"HKCU", HKEY_CURRENT_USER}, {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                                        {L"HKU", HKEY_USERS}, {L"HKEY_USERS", HKEY_USERS}};
        for (const auto& mapped : m_roots)
            roots[mapped.first] = mapped.second;

        // Parse everything first, so a broken script writes nothing.
        const std::vector<Root> parsed = Parser(Tokenize(script), m_replacements, roots).ParseScript();
        for (const Root& root : parsed)
            for (const Key& key : root.subkeys)
            {
                if (doRegister)
                    RegisterKey(root.key, key);
                else
                    UnregisterKey(root.key, key);
            }
        return S_OK;
    });
}
