#pragma once

#include "text/Strings.h"

#include <vector>

// Replaces live files by copies of saved ones without ever leaving a live file half replaced or
// removed before its replacement is whole:
//   Add, RemoveOthersIn  what goes where, and the folders that are to hold only what the set
//                        brings (their other files go; their subfolders stay);
//   Stage                copies every source beside its destination, in the same folder and so on
//                        the same volume, under a temporary name; nothing live changes;
//   Commit               by renames alone: each live file is moved aside and its staged copy
//                        takes its name, then the other files of the RemoveOthersIn folders are
//                        moved aside; a failure renames everything back;
//   Finish               deletes what Commit moved aside.
// Until Finish, the destructor undoes what was done: a commit is renamed back, the staged copies
// and the folders Stage made are removed. Stage and Commit return false with the failing call's
// error as the thread's last error and its paths in FailedFrom and FailedTo.
class ReplacementSet
{
public:
    ReplacementSet() = default;
    ReplacementSet(const ReplacementSet&) = delete;
    ReplacementSet& operator=(const ReplacementSet&) = delete;
    ~ReplacementSet();

    void Add(const String& source, const String& destination);
    // With a test, only the other files whose names it takes go; without, every other file.
    void RemoveOthersIn(const String& folder, bool (*takes)(const String& name) = nullptr);

    // Creates the destinations' missing folders and makes the staged copies. Call once.
    bool Stage();
    // Puts every staged copy in place. Call once, after a successful Stage.
    bool Commit();
    // Deletes the replaced and the other files that Commit moved aside. A file that cannot be
    // deleted keeps its temporary name (never one the live files' owner reads). Never throws.
    void Finish() noexcept;

    // The step that failed: source and destination of a copy, or a file and the name it was to
    // be renamed to.
    const String& FailedFrom() const { return m_failedFrom; }
    const String& FailedTo() const { return m_failedTo; }
    // After a failed Commit: a live file that could not be given its name back (empty when every
    // live file is as it was), and the name it has instead.
    const String& NotPutBack() const { return m_notPutBack; }
    const String& NotPutBackAs() const { return m_notPutBackAs; }

private:
    struct Entry
    {
        String source;       // long paths
        String destination;
        String staged;       // empty until staged
        String aside;        // where the live file went; empty when there was none
        bool movedIn = false;
    };
    struct Other
    {
        String path;
        String aside;
    };

    bool Failed(const String& from, const String& to);
    void Undo() noexcept;

    std::vector<Entry> m_entries;
    struct Folder
    {
        String path;
        bool (*takes)(const String& name);
    };

    std::vector<Folder> m_folders;
    std::vector<Other> m_others;
    std::vector<String> m_createdFolders;
    bool m_committed = false;
    bool m_finished = false;
    String m_failedFrom;
    String m_failedTo;
    String m_notPutBack;
    String m_notPutBackAs;
};
