#pragma once
// What ssbr tells about a backup or restore beyond the module's own answer: the renames waiting
// for the next start, which component a failed backup stopped in, and whether a backup belongs to
// this server.

#include "text/Strings.h"
#include "module/Components.h"

#include <vector>

namespace JobReport
{
    struct PendingRename
    {
        String from;
        String to;   // empty: the file is deleted at the next start
    };

    // The pairs of a PendingFileRenameOperations value (a multi-string of source and target,
    // "\??\" before each path, "!" before a target that may be replaced).
    std::vector<PendingRename> ParsePendingRenames(const std::vector<wchar_t>& multiString);

    // The renames waiting for the next start on this machine; none when the value is not set.
    std::vector<PendingRename> ReadPendingRenames();

    // The component whose exception the module's error text names ("SystemVolumeException
    // ERROR: ..."); null when the text names an exception that several components share.
    const Component* ComponentNamedIn(const String& errorText);

    // "This backup was taken on A; this server is B" when the names differ (in any case); empty
    // when they match or the backup does not say where it was taken.
    String OtherServerText(const String& takenOn, const String& thisServer);
}
