#include "registry/RegistryBackupSet.h"

namespace
{
    const wchar_t* const MachinePrefix = L"\\REGISTRY\\MACHINE\\";
    const wchar_t* const UserPrefix = L"\\REGISTRY\\USER\\";
    const wchar_t* const FilesPath = L"/BackupSet/files";

    const BackupSetSchema RegistrySchema = {
        RegistryBackupSet::FileName, L"<BackupSet type='Registry'/>", {L"files"}, true};
}

HKEY HiveFileEntry::GetRootKey() const
{
    if (Strings::StartsWithNoCase(m_hivepath, MachinePrefix))
        return HKEY_LOCAL_MACHINE;
    if (Strings::StartsWithNoCase(m_hivepath, UserPrefix))
        return HKEY_USERS;
    return nullptr;
}

String HiveFileEntry::GetSubkey() const
{
    if (Strings::StartsWithNoCase(m_hivepath, MachinePrefix))
        return m_hivepath.substr(wcslen(MachinePrefix));
    if (Strings::StartsWithNoCase(m_hivepath, UserPrefix))
        return m_hivepath.substr(wcslen(UserPrefix));
    return String();
}

String HiveFileEntry::GetTemporaryName() const
{
    return L"TMP_" + GetSubkey();
}

RegistryBackupSet::RegistryBackupSet(const String& directory) : BackupSet(directory, RegistrySchema)
{
}

HiveFileEntry RegistryBackupSet::AddFile(const String& filepath, const String& hivefile, const String& hivepath)
{
    CXmlNodeWrapper file = AddListItem(FilesPath, L"file");
    if (file.IsEmpty())
        throw RegistryBackupSetException(
            Strings::Format(L"No element %s in %s", FilesPath, GetFilePath().c_str()));
    file.SetAttribute(L"filepath", filepath);
    file.SetAttribute(L"hivefile", hivefile);
    file.SetAttribute(L"hivepath", hivepath);
    return HiveFileEntry(filepath, hivefile, hivepath);
}

HiveFileList RegistryBackupSet::GetFiles() const
{
    HiveFileList entries;
    const CXmlNodeWrapper files = Select(FilesPath);
    for (CXmlNodeWrapper file = files.GetFirstChild(); !file.IsEmpty(); file = file.GetNextSibling())
    {
        if (!file.IsElement(L"file"))
            continue;
        entries.emplace_back(file.GetAttribute(L"filepath", String()), file.GetAttribute(L"hivefile", String()),
                             file.GetAttribute(L"hivepath", String()));
    }
    return entries;
}
