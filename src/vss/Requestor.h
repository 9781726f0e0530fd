#pragma once
// A VSS requestor that hands one writer component over into a folder through a shadow copy, and
// gives it back to the writer from there. The library QmVss.dll and the tool dozeZuz.exe are its
// two front ends.
//
// A backup leaves in <folder>\ntds the component's files, each under a path that mirrors its live
// path (C:\WINDOWS\NTDS\ntds.dit -> ntds\C\WINDOWS\NTDS\ntds.dit), read from the shadow copy, and
// the two documents a restore needs: BackupComponents.xml and WriterMetadata.xml.
//
// The calling thread must be in a COM apartment, and the process must let VSS writers call back
// into it (VssHost::AllowWriterCallbacks, see ComSecurity.h): without that a writer's calls are
// refused and its work fails with E_ACCESSDENIED. Every failure is thrown as VssClientException
// with a finished text that names the call and, for a VSS code, the code's name and meaning.

#include "text/Strings.h"

class VssApiLibrary;

class VssRequestor
{
public:
    // The library must outlive the requestor.
    explicit VssRequestor(const VssApiLibrary& api) : m_api(api) {}

    // Saves the component of the writer (its id in braces) into folder, which must exist and
    // must not hold <folder>\ntds yet. On failure no shadow copy is left and <folder>\ntds is gone.
    void Backup(const String& writerId, const String& component, const String& folder);

    // Puts the component's files saved in folder back where the writer's metadata and restore
    // method say. A folder without the saved documents is refused with "No Active Directory backup
    // in <folder>" before anything is asked of VSS; a restore method that cannot be carried out is
    // refused before anything is copied. On failure every live file is as it was.
    void Restore(const String& writerId, const String& component, const String& folder);

private:
    const VssApiLibrary& m_api;
};
