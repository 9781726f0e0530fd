#include "sysvol/SystemVolumeBackupSet.h"

namespace
{
    const wchar_t* const DirectoryPath = L"/BackupSet/directory";
    const wchar_t* const LinkElement = L"link";
    const wchar_t* const TargetAttribute = L"target";

    const BackupSetSchema SystemVolumeSchema = {
        SystemVolumeBackupSet::FileName, L"<BackupSet type='SystemVolume'/>", {L"directory"}, false};
}

SystemVolumeBackupSet::SystemVolumeBackupSet(const String& directory) : BackupSet(directory, SystemVolumeSchema)
{
}

String SystemVolumeBackupSet::GetDirectory() const
{
    return GetElementText(DirectoryPath);
}

void SystemVolumeBackupSet::SetDirectory(const String& relativeCopyPath)
{
    SetElementText(DirectoryPath, relativeCopyPath);
}

std::vector<SystemVolumeLink> SystemVolumeBackupSet::GetLinks(size_t most) const
{
    std::vector<SystemVolumeLink> links;
    const CXmlNodeWrapper root = Document().GetDocumentElement();
    for (CXmlNodeWrapper child = root.GetFirstChild(); !child.IsEmpty() && links.size() <= most;
         child = child.GetNextSibling())
    {
        if (child.IsElement(LinkElement))
            links.push_back({child.GetText(), child.GetAttribute(TargetAttribute, String())});
    }
    return links;
}

void SystemVolumeBackupSet::AddLink(const SystemVolumeLink& link)
{
    CXmlNodeWrapper root = Document().GetDocumentElement();
    CXmlNodeWrapper element = root.InsertNode(root.NumChildren(), LinkElement);
    element.SetAttribute(TargetAttribute, link.target);
    element.SetText(link.path);
}
