#include "certsrv/CertificateServicesBackupSet.h"

#include "files/Paths.h"

#include <cwchar>

namespace
{
    const BackupSetSchema CertificateServicesSchema = {
        CertificateServicesBackupSet::FileName,
        L"<BackupSet type='CertificateServices'/>",
        {L"database", L"checkpointdir", L"logdir", L"databasefiles", L"dynamicfiles", L"backuplogs"},
        false};
}

CertificateServicesBackupSet::CertificateServicesBackupSet(const String& directory)
    : BackupSet(directory, CertificateServicesSchema)
{
}

void CertificateServicesBackupSet::AddFile(const wchar_t* list, const String& name)
{
    CXmlNodeWrapper file = AddListItem(list, L"file");
    // A file left out of the manifest would be missing from every restore of this backup.
    if (file.IsEmpty())
        throw CertificateServicesBackupSetException(
            Strings::Format(L"No element %s in %s", list, GetFilePath().c_str()));
    file.SetText(name);
}

void CertificateServicesBackupSet::OpenSaved(const wchar_t* noBackupFormat)
{
    WIN32_FILE_ATTRIBUTE_DATA file = {};
    if (GetFileAttributesExW(Paths::ToLongPath(GetFilePath()).c_str(), GetFileExInfoStandard, &file) &&
        !(file.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && (file.nFileSizeHigh != 0 || file.nFileSizeLow > MaxBytes))
        throw CertificateServicesBackupSetException(
            Strings::Format(L"The manifest %s is larger than %u bytes", GetFilePath().c_str(), MaxBytes));
    OpenExisting(noBackupFormat);
}

StringList CertificateServicesBackupSet::GetLimitedList(const wchar_t* list, size_t limit) const
{
    StringList texts;
    const CXmlNodeWrapper element = Select(list);
    for (CXmlNodeWrapper item = element.GetFirstChild(); !item.IsEmpty(); item = item.GetNextSibling())
    {
        if (texts.size() == limit)
            throw CertificateServicesBackupSetException(
                Strings::Format(L"The manifest %s lists more than %u files in %s", GetFilePath().c_str(),
                                static_cast<unsigned>(limit), wcsrchr(list, L'/') + 1));
        texts.push_back(item.GetText());
    }
    return texts;
}
