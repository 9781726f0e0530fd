#include "activedirectory/ActiveDirectoryBackupSet.h"

#include "common/Base64.h"

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

    // Decimal digits from the start; none give 0.
    unsigned long ReadDecimal(const String& text)
    {
        unsigned long value = 0;
        for (wchar_t c : text)
        {
            if (c < L'0' || c > L'9')
                break;
            value = value * 10 + static_cast<unsigned long>(c - L'0');
        }
        return value;
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
    length = static_cast<DWORD>(ReadDecimal(expiration.GetAttribute(L"size", String())));
    const String packed = expiration.GetText();
    std::vector<BYTE> text;
    text.reserve(packed.size() * 2);
    for (wchar_t unit : packed)
    {
        text.push_back(static_cast<BYTE>(unit & 0xFF));
        text.push_back(static_cast<BYTE>(unit >> 8));
    }
    Base64 codec;
    codec.Decode(text.data(), static_cast<DWORD>(text.size()));
    std::vector<BYTE> token(static_cast<size_t>(length) + 1, 0);
    // The decoded text may be shorter than the recorded size in a damaged manifest.
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
    const CXmlNodeWrapper list = Select(listPath);
    const long count = list.NumChildren();
    for (long i = 0; i < count; ++i)
    {
        const CXmlNodeWrapper file = list.GetChild(i);
        entries.push_back(static_cast<wchar_t>(ReadDecimal(file.GetAttribute(L"bft", String())) & 0xFFFF));
        entries += file.GetAttribute(L"original", String());
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
