#pragma once
// ssbr's command line: verbs, their options, usage texts and the usage errors.

#include "text/Strings.h"
#include "module/Components.h"

#include <vector>

namespace Exit
{
    constexpr int Success = 0;
    constexpr int Failure = 1;   // the work failed, or the backup is damaged
    constexpr int Usage = 2;
    constexpr int Skipped = 3;   // done, but a component that was named was skipped
}

struct UsageError
{
    String message;
    String verb;   // whose usage to show; empty for the whole
};

struct Options
{
    String verb;
    String directory;
    String server;
    String domain;
    String user;
    String passwordVariable;
    String quorumDrive;
    bool truncateLogs = false;
    bool forceClusterShutdown = false;
    bool all = false;
    bool json = false;
    bool quiet = false;
    bool noVerify = false;
    bool otherServer = false;   // restore a backup taken on a server of another name
    bool help = false;
    // The components named one by one, in the module's table order.
    std::vector<const Component*> named;
};

namespace CommandLine
{
    // Throws UsageError. A --help anywhere gives help set and nothing else checked.
    Options Parse(const std::vector<String>& arguments);

    // The usage of one verb, or of all of them for an empty verb; ends with the exit codes.
    String Usage(const String& verb);

    // The candidate nearest to what was typed when it is near enough to be a typing slip; empty
    // otherwise.
    String Nearest(const String& typed, const StringList& candidates);
}
