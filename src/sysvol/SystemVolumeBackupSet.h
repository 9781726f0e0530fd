#pragma once
// The SysVol component's manifest, "SystemVolumeBackupSet.xml": one <directory> element that
// locates the copy below the target's "SysVol" folder, then one <link> element for each folder
// link of the live tree, which the copy leaves out:
//
//   <BackupSet type="SystemVolume"><directory>C\WINDOWS\SysVol</directory>
//     <link target="domain">sysvol\example.com</link></BackupSet>
//
// A link's text is its path below the SysVol tree, its target the path below the same tree of
// the folder it leads to; both relative, so that they hold for another Windows directory.

#include "xml/BackupSet.h"
#include "errors/Exceptions.h"
#include "text/Strings.h"

#include <vector>

struct SystemVolumeLink
{
    String path;   // below the SysVol tree
    String target; // below the SysVol tree
};

class SystemVolumeBackupSet : public BackupSet<SystemVolumeBackupSetException>
{
public:
    static constexpr const wchar_t* FileName = L"SystemVolumeBackupSet.xml";

    // Sets the path; reads and writes nothing.
    explicit SystemVolumeBackupSet(const String& directory);

    // Text of /BackupSet/directory; empty when the element is missing or has no text.
    String GetDirectory() const;
    // In memory only; does nothing when the element is missing.
    void SetDirectory(const String& relativeCopyPath);

    // The <link> elements in document order (a missing target attribute reads as empty), at most
    // most + 1 of them: a caller tells a list past its limit without reading it whole.
    std::vector<SystemVolumeLink> GetLinks(size_t most) const;
    // Appends a <link> element, in memory only. Throws XmlException when the document refuses.
    void AddLink(const SystemVolumeLink& link);
};
