#include "certsrv/CertificateServicesBackupSet.h"

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
