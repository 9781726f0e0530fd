#include "activedirectory/ActiveDirectoryBackupSet.h"

#include "text/Base64.h"

#include <cstring>
#include <cwchar>

namespace
{
    const wchar_t* const ExpirationPath = L"/BackupSet/expiration";
    const wchar_t* const DatabaseFilesPath = L"/BackupSet/dbfiles";
    const wchar_t* const LogFilesPath = L"/BackupSet/logfiles";

    const BackupSetSchema ActiveDirectorySchema = {ActiveDirectoryBackupSet::FileName,
                                                   L"<BackupSet type='ActiveDirectory'/>",
                                                   {L"expiration", L"dbfiles", L"logfiles"},
                                                   false};

    // The decimal digits at the start of text, or 0 when there are none; more than limit gives
    // limit + 1, so no digit string wraps the value.
    ULONGLONG ReadDecimal(const String& text, ULONGLONG limit)
    {
        ULONGLONG value = 0;
        for (wchar_t c : text)
        {
            if (c < L'0' || c > L'9')
                break;
            value = value * 10 + static_cast<ULONGLONG>(c - L'0');
            if (value > limit)
                return limit + 1;
        }
        return value;
    }

    bool IsBase64Character(BYTE c)
    {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
    }
}

ActiveDirectoryBackupSet::ActiveDirectoryBackupSet(const String& directory)
    : BackupSet(directory, ActiveDirectorySchema)
{
}

void ActiveDirectoryBackupSet::SetExpiration(const BYTE* token, DWORD length)
{
    Base64 codec;
    codec.Encode(token, length);
    // Two ASCII characters to a unit, the first in the low byte.
    String packed;
    const BYTE* encoded = codec.GetEncoded();
    const DWORD encodedLength = codec.GetEncodedLength();
    for (DWORD i = 0; encoded != nullptr && i < encodedLength; i += 2)
    {
        const BYTE high = i + 1 < encodedLength ? encoded[i + 1] : 0;
        packed.push_back(static_cast<wchar_t>(encoded[i] | (high << 8)));
    }
    CXmlNodeWrapper expiration = Select(ExpirationPath);
    expiration.SetAttribute(L"size", static_cast<long>(length));
    expiration.SetText(packed);
}

std::vector<BYTE> ActiveDirectoryBackupSet::GetExpiration(DWORD& length) const
{
    const CXmlNodeWrapper expiration = Select(ExpirationPath);
    const String packed = expiration.GetText();
    std::vector<BYTE> text;
    text.reserve(packed.size() * 2);
    for (wchar_t unit : packed)
    {
        text.push_back(static_cast<BYTE>(unit & 0xFF));
        text.push_back(static_cast<BYTE>(unit >> 8));
    }
    // The recorded size is checked against what the text can hold before anything is sized by
    // it: each alphabet character carries six bits.
    ULONGLONG characters = 0;
    for (BYTE c : text)
        characters += IsBase64Character(c) ? 1 : 0;
    const ULONGLONG holds = characters * 6 / 8;
    const ULONGLONG size = ReadDecimal(expiration.GetAttribute(L"size", String()), holds);
    if (size > holds)
        throw ActiveDirectoryBackupSetException(Strings::Format(
            L"The expiry token in %s is damaged: its recorded size is larger than its text holds",
            GetFilePath().c_str()));
    length = static_cast<DWORD>(size);

    Base64 codec;
    codec.Decode(text.data(), static_cast<DWORD>(text.size()));
    std::vector<BYTE> token(static_cast<size_t>(length) + 1, 0);
    const DWORD available = codec.GetDecoded() != nullptr ? codec.GetDecodedLength() : 0;
    if (length > 0 && available > 0)
        std::memcpy(token.data(), codec.GetDecoded(), length < available ? length : available);
    return token;
}

void ActiveDirectoryBackupSet::AddFile(const wchar_t* listPath, const String& name, const String& original,
                                       wchar_t marker)
{
    CXmlNodeWrapper list = Select(listPath);
    CXmlNodeWrapper file = list.InsertNode(0, L"file");
    file.SetAttribute(L"name", name);
    file.SetAttribute(L"bft", static_cast<long>(marker));
    file.SetAttribute(L"original", original);
}

void ActiveDirectoryBackupSet::AddDatabaseFile(const String& name, const String& original, wchar_t marker)
{
    AddFile(DatabaseFilesPath, name, original, marker);
}

void ActiveDirectoryBackupSet::AddLogFile(const String& name, const String& original, wchar_t marker)
{
    AddFile(LogFilesPath, name, original, marker);
}

BackupFileRecord ActiveDirectoryBackupSet::GetDatabaseFile(const String& name) const
{
    const CXmlNodeWrapper file = Select(String(DatabaseFilesPath) + L"/file[@name='" + name + L"']");
    return {name, file.GetAttribute(L"original", String())};
}

String ActiveDirectoryBackupSet::GetFiles(const wchar_t* listPath) const
{
    String entries;
    size_t count = 0;
    const CXmlNodeWrapper list = Select(listPath);
    // A walk from sibling to sibling: reaching the i-th child by its index may cost i.
    for (CXmlNodeWrapper file = list.GetFirstChild(); !file.IsEmpty(); file = file.GetNextSibling())
    {
        if (!file.IsElement(L"file"))
            continue;
        if (++count > MostFiles)
            throw ActiveDirectoryBackupSetException(Strings::Format(L"%s lists more than %lu files in <%s>",
                                                                    GetFilePath().c_str(), MostFiles,
                                                                    std::wcsrchr(listPath, L'/') + 1));
        // A marker of 0 would end the entry list early.
        const ULONGLONG marker = ReadDecimal(file.GetAttribute(L"bft", String()), 0xFFFF);
        if (marker == 0 || marker > 0xFFFF)
            throw ActiveDirectoryBackupSetException(Strings::Format(
                L"%s holds a file whose type is no number from 1 to 65535", GetFilePath().c_str()));
        const String original = file.GetAttribute(L"original", String());
        if (original.size() > MostPathCharacters)
            throw ActiveDirectoryBackupSetException(Strings::Format(
                L"%s holds a path longer than %lu characters", GetFilePath().c_str(), MostPathCharacters));
        entries.push_back(static_cast<wchar_t>(marker));
        entries += original;
        entries.push_back(L'\0');
    }
    return entries;
}

String ActiveDirectoryBackupSet::GetDatabaseFiles() const
{
    return GetFiles(DatabaseFilesPath);
}

String ActiveDirectoryBackupSet::GetLogFiles() const
{
    return GetFiles(LogFilesPath);
}
