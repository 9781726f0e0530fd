#pragma once
// File-system operations on long paths (\\?\ and \\?\UNC\), with one set of rules for roots,
// trailing backslashes and UNC paths. They throw FileSystemException only for an empty argument
// or a path whose root cannot be found; every other failure is returned, and the caller reads
// the system's last error.

#include "files/Paths.h"
#include "text/Strings.h"

#include <windows.h>

#include <vector>

namespace Paths
{
    // The folder of the module that holds this code (the backup module, or a program that links
    // the code itself), with a trailing backslash; empty, with the last error set, when it
    // cannot be found.
    String OwnModuleFolder();
}

namespace Files
{
    // Copies one file (data, attributes, last-write time), creating the destination's directory
    // first. Streams through a buffer of at most 256 KiB; false on failure. A file it overwrites
    // is replaced only by a whole copy (made beside it, then renamed over it): a failed copy
    // leaves it as it was.
    bool Copy(const String& source, const String& destination, bool overwrite);
    bool Exists(const String& file);
    bool Delete(const String& file);
    // The text after the last backslash, or the whole path when there is none.
    String GetFileName(const String& path);
}

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

// Writes a new, empty file front to back without writing the blocks that hold only zeros (most
// of a database's free pages): the file pointer moves past them and Finish sets the length, so
// they read back as zeros. The file is marked sparse at its first skipped block, so that they
// take no disk; a file system that refuses keeps a plain file with the same bytes. The handle
// needs write access and stays the caller's. Write and Finish return false with the failing
// call's error as the thread's last error; the file is complete only after Finish.
class SparseFileWriter
{
public:
    explicit SparseFileWriter(HANDLE file) : m_file(file) {}
    bool Write(const void* data, DWORD size);
    bool Finish();

private:
    bool WriteAt(ULONGLONG offset, const BYTE* data, DWORD size);

    HANDLE m_file;
    ULONGLONG m_length = 0;  // bytes handed in
    ULONGLONG m_pointer = 0; // where the file pointer stands
    bool m_markedSparse = false;
};

namespace Directories
{
    // Appends one backslash unless the last character already is one.
    void AppendBackslash(String& directory);
    String RemoveBackslash(const String& directory);
    // True when the path with a backslash appended is exactly its own root.
    bool IsRoot(const String& path);
    bool Exists(const String& directory);
    bool IsDotEntry(const String& name);
    // The parent directory. With itemPath, a trailing backslash is ignored and a root is its
    // own parent (C:\a\b and C:\a\b\ give C:\a; C:\ gives C:\).
    String GetDirectory(const String& path, bool itemPath);
    // Creates the directory and every missing one above it. False, with the last error set,
    // when it cannot (ERROR_ALREADY_EXISTS when a file holds the name).
    bool Create(const String& directory);
    // Copies a tree, skipping names that begin with "."; 0 or the Win32 error. A missing
    // source copies nothing and gives 0. Files already in the destination are replaced as
    // Files::Copy replaces them. With folderLinks, a folder link (junction, directory symbolic
    // link or other folder reparse point) below the source is neither entered nor copied: its
    // path relative to the source is appended there. Without it, links are copied as the folders
    // they lead to.
    DWORD Copy(const String& source, const String& destination, StringList* folderLinks = nullptr);
    // Deletes what matches the pattern inside the directory, read-only entries included. Stops
    // at the first entry that cannot be removed: false, that entry's code in the last error, and
    // its long path in failedEntry when one is given (and still empty). A missing directory or
    // no match is nothing to delete: true.
    bool DeleteFiles(const String& directory, const String& pattern, String* failedEntry = nullptr);
    // Deletes the tree and the directory itself; a missing directory counts as deleted. Fails
    // as DeleteFiles does.
    bool Delete(const String& directory, String* failedEntry = nullptr);
}

// Expansion of "%SystemRoot%" and the like; failures are collected in an error text.
class EnvironmentVariables
{
public:
    // S_OK, or E_FAIL with a message appended to the error text.
    HRESULT Expand(const String& source, String& expanded);
    // "%SystemRoot%\<name>", without a doubled backslash; as Expand when the root cannot be
    // expanded (folder is then empty).
    HRESULT ExpandBelowSystemRoot(const String& name, String& folder);
    String GetError() const { return m_error; }

private:
    String m_error;
};

// Platform libraries that are loaded only when needed. A process that holds the backup and
// restore privileges must never take one through the search path, where the program's folder
// or the current folder may hold a planted library of the same name.
namespace Libraries
{
    // The system folder ("C:\WINDOWS\system32", no trailing backslash); empty, with the last
    // error set, when it cannot be read.
    String SystemFolder();
    // Loads <system folder>\name (a bare file name, "certadm.dll"); the library's own imports
    // are looked up from that folder first. Null, with the last error set, when it cannot be
    // loaded.
    HMODULE LoadFromSystemFolder(const wchar_t* name);
}
