#pragma once
// The staging folder of a volume, "<volume root>\SystemStateRestore": where a restore puts the
// whole copies that take the place of live files at the next start (a rename never crosses a
// volume). What lies there becomes live, so the folder must be ours: it is made with a protected
// list that lets in only Administrators and SYSTEM, and one found there is refused when it is a
// link or belongs to anyone else. A rename keeps a file's own security, so each staged file is
// given the security of the live file it replaces.
//
// Every failure throws FileSystemException with a finished text.

#include "text/Strings.h"

#include <windows.h>

#include <vector>

namespace StagingFolder
{
    // A security descriptor in self-relative form.
    using Descriptor = std::vector<BYTE>;

    // "SystemStateRestore".
    extern const wchar_t* const Name;

    // The staging root of the volume that holds path: "C:\SystemStateRestore" for
    // "C:\WINDOWS\x.dll". The path need not exist.
    String RootOf(const String& path);

    // The folders of the staging tree that a restore has made ready: all of them, root first,
    // and those it made itself.
    struct Folders
    {
        std::vector<String> ready;
        std::vector<String> created;
    };

    // Makes folder (root itself or a folder below it) ready to take staged files. A missing root
    // is created with RootSecurity(), each missing folder below it likewise with what the root
    // passes on. A folder found there must pass CheckExisting and gets that list again (it may
    // have been made while the root let others in). Folders already in folders.ready are taken as
    // done; each folder done is added to it, and each one made to folders.created.
    void Prepare(const String& root, const String& folder, Folders& folders);

    // Removes the folders that folders.created lists and that are empty, deepest first; what a
    // failed restore made and no longer needs. Keeps the caller's last error.
    void RemoveCreated(const Folders& folders) noexcept;

    // The decision on a folder of the staging tree that was found existing, from its attributes
    // and its owner (null when it has none): refuses a link or other reparse point, a file, and a
    // folder whose owner IsTrustedOwner does not trust, each with a text that names the folder.
    void CheckExisting(const String& path, DWORD attributes, PSID owner);

    // Administrators, SYSTEM, and the account this thread runs as (only it, or an administrator
    // acting for it, can have made a folder that it owns).
    bool IsTrustedOwner(PSID owner);

    // What a new staging root gets: owner Administrators, and a protected list that grants full
    // control to Administrators and SYSTEM alone, passed on to every folder and file below it.
    Descriptor RootSecurity();

    // Gives staged the owner, group and list of live. When live does not exist, the owner and
    // group of the nearest existing folder above it, and the list that a new file there would
    // inherit through the folders still missing.
    void CarrySecurity(const String& live, const String& staged);

    // The security a new file (folder: false) or folder created in parent gets: parent's owner
    // and group, and the entries of parent's list that pass to such a child, marked inherited,
    // their generic rights mapped for files, "creator owner" and "creator group" taken by that
    // owner and group. A folder keeps what its own children will inherit. A parent without a list
    // passes none.
    Descriptor Inherit(PSECURITY_DESCRIPTOR parent, bool folder);

    // The owner, group and list of an existing file or folder.
    Descriptor ReadSecurity(const String& path);
}
