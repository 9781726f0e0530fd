#include "files/FileSystem.h"

#include "errors/ErrorText.h"
#include "errors/Exceptions.h"
#include "files/Internal.h"
#include "handles/Handles.h"

#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

using namespace FilesInternal;

namespace
{
    // A false answer always leaves a code in the last error for the caller's message.
    bool Fail(DWORD error)
    {
        SetLastError(error);
        return false;
    }

    // Names the entry that stopped a deletion (the first one only) and keeps its code.
    bool Failed(String* failedEntry, const String& path, DWORD error)
    {
        if (failedEntry != nullptr && failedEntry->empty())
            *failedEntry = path;
        return Fail(error);
    }
}

namespace Paths
{
    String OwnModuleFolder()
    {
        HMODULE self = nullptr;
        std::vector<wchar_t> path(MAX_PATH);
        if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                reinterpret_cast<const wchar_t*>(&OwnModuleFolder), &self))
            return String();
        for (;;)
        {
            const DWORD length = GetModuleFileNameW(self, path.data(), static_cast<DWORD>(path.size()));
            if (length == 0)
                return String();
            // A full buffer may hold a cut name (older systems set no error for it).
            if (length < path.size())
            {
                const String file(path.data(), length);
                const size_t slash = file.rfind(L'\\');
                if (slash == String::npos)
                {
                    SetLastError(ERROR_BAD_PATHNAME);
                    return String();
                }
                return file.substr(0, slash + 1);
            }
            path.resize(path.size() * 2);
        }
    }
}

namespace
{
    // Copies stream through one buffer of at most this size: four times the piece the system's
    // copy call moves, so the cost of each read and write call weighs less, yet small enough to
    // stay in the processor's cache between the read and the write (measured: a 1 MiB buffer
    // copies slower than 64 KiB on a busy machine) and to keep memory bounded.
    const DWORD CopyBufferLimit = 256 * 1024;
    const DWORD CopyBufferStep = 64 * 1024;
    // Attributes a new file can be given; the rest describe what the file system made of it.
    const DWORD CopiedAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                   FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

    // Copies files one after another through one buffer, so that a tree of small files neither
    // allocates for each file nor holds more than the largest piece it moved.
    class FileCopier
    {
    public:
        // Copies data, attributes and last-write time of one file, as the system's copy call
        // does. Both paths are long paths. A destination left half-written is deleted. False
        // with the failing call's error as the thread's last error.
        // A tree copy passes what its directory listing says of the source (attributes, size,
        // last-write time), which saves three queries a file.
        bool Copy(const String& source, const String& destination, bool failIfExists,
                  const WIN32_FIND_DATAW* listed = nullptr)
        {
            UniqueFileHandle input(CreateFileW(source.c_str(), GENERIC_READ,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                               OPEN_EXISTING, 0, nullptr));
            if (!input)
                return false;
            // Not GetFileInformationByHandle: its volume serial number can cost a round trip to
            // the volume's driver for each file (measured: 8 ms a file under Wine, where opening
            // and closing one costs 2 ms).
            FILETIME lastWrite;
            LARGE_INTEGER size;
            DWORD attributes;
            if (listed != nullptr)
            {
                lastWrite = listed->ftLastWriteTime;
                size.QuadPart = (static_cast<LONGLONG>(listed->nFileSizeHigh) << 32) | listed->nFileSizeLow;
                attributes = listed->dwFileAttributes;
            }
            else if (!GetFileTime(input.get(), nullptr, nullptr, &lastWrite) || !GetFileSizeEx(input.get(), &size) ||
                     (attributes = GetFileAttributesW(source.c_str())) == INVALID_FILE_ATTRIBUTES)
            {
                return false;
            }

            // The source is shared for writing, so replacing it with itself would empty it.
            if (!failIfExists)
            {
                UniqueFileHandle existing(CreateFileW(destination.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                                      FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr));
                if (existing && IsSameFile(input.get(), existing.get()))
                {
                    SetLastError(ERROR_SHARING_VIOLATION);
                    return false;
                }
                if (existing)
                {
                    existing.reset();
                    input.reset();
                    return Replace(source, destination, listed);
                }
            }

            UniqueFileHandle output(CreateFileW(destination.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                                failIfExists ? CREATE_NEW : CREATE_ALWAYS,
                                                attributes & CopiedAttributes, nullptr));
            if (!output)
                return false;
            if (CopyData(input.get(), output.get(), static_cast<ULONGLONG>(size.QuadPart)) &&
                SetFileTime(output.get(), nullptr, nullptr, &lastWrite))
                return true;

            const DWORD error = GetLastError();
            output.reset();
            SetFileAttributesW(destination.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(destination.c_str());
            SetLastError(error);
            return false;
        }

        // Copies over an existing file without ever losing it: the copy is made beside it and
        // takes its place only once it is whole.
        bool Replace(const String& source, const String& destination, const WIN32_FIND_DATAW* listed)
        {
            for (int attempt = 0; attempt < 16; ++attempt)
            {
                const String staged = destination + Strings::Format(L".qm%d~", attempt);
                if (!Copy(source, staged, true, listed))
                {
                    const DWORD error = GetLastError();
                    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)
                        continue;
                    return false;
                }
                if (MoveFileExW(staged.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING))
                    return true;
                const DWORD error = GetLastError();
                SetFileAttributesW(staged.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(staged.c_str());
                SetLastError(error);
                return false;
            }
            return false;
        }

    private:
        // Reads to the end, whatever the size the file had when it was opened. A read that comes
        // back short once the expected size is in is the end: asking again only to be told so
        // would cost a call for every small file of a tree.
        bool CopyData(HANDLE input, HANDLE output, ULONGLONG expectedSize)
        {
            char* const buffer = Buffer(expectedSize);
            for (ULONGLONG copied = 0;;)
            {
                DWORD read = 0;
                if (!ReadFile(input, buffer, m_size, &read, nullptr))
                    return false;
                if (read == 0)
                    return true;
                copied += read;
                for (DWORD written = 0; written < read;)
                {
                    DWORD piece = 0;
                    if (!WriteFile(output, buffer + written, read - written, &piece, nullptr))
                        return false;
                    if (piece == 0)
                    {
                        SetLastError(ERROR_WRITE_FAULT);
                        return false;
                    }
                    written += piece;
                }
                if (read < m_size && copied >= expectedSize)
                    return true;
            }
        }

        // A buffer for a file of the given size: the limit for big files, a little more than the
        // file for small ones, grown as bigger files come.
        char* Buffer(ULONGLONG fileSize)
        {
            const ULONGLONG wanted = fileSize >= CopyBufferLimit ? CopyBufferLimit
                                                                  : (fileSize / CopyBufferStep + 1) * CopyBufferStep;
            if (wanted > m_size)
            {
                m_buffer.reset();
                m_buffer = std::make_unique<char[]>(static_cast<size_t>(wanted));
                m_size = static_cast<DWORD>(wanted);
            }
            return m_buffer.get();
        }

        std::unique_ptr<char[]> m_buffer;
        DWORD m_size = 0;
    };

    // Where a tree copy lists the folder links it leaves out (null: it follows them), and how
    // much of each long source path to cut to make it relative.
    struct TreeLinks
    {
        StringList* list;
        size_t rootLength;
    };

    DWORD CopyTree(const String& longSource, const String& longDestination, FileCopier& copier, TreeLinks& links);

    // A folder of the tree copy whose parent is there already: one call, where creating each
    // folder above it again would cost a failed call per level for every folder of the tree.
    bool CreateTreeFolder(const String& longFolder)
    {
        if (CreateDirectoryW(longFolder.c_str(), nullptr))
            return true;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
        const DWORD attributes = GetFileAttributesW(longFolder.c_str());
        return (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) ||
               Fail(ERROR_ALREADY_EXISTS);
    }
}

namespace Files
{
    bool Copy(const String& source, const String& destination, bool overwrite)
    {
        ThrowIfEmpty(source, L"Source file cannot be empty");
        ThrowIfEmpty(destination, L"Destination file cannot be empty");
        const String longSource = Paths::ToLongPath(source);
        const String longDestination = Paths::ToLongPath(destination);
        if (!Directories::Create(Directories::GetDirectory(longDestination, true)))
            return false;
        FileCopier copier;
        return copier.Copy(longSource, longDestination, !overwrite);
    }

    bool Exists(const String& file)
    {
        ThrowIfEmpty(file, L"File cannot be empty");
        return Paths::Exists(file);
    }

    bool Delete(const String& file)
    {
        ThrowIfEmpty(file, L"File cannot be empty");
        return DeleteFileW(Paths::ToLongPath(file).c_str()) != FALSE;
    }

    String GetFileName(const String& path)
    {
        ThrowIfEmpty(path, L"PathFileName cannot be empty");
        const size_t lastBackslash = path.rfind(L'\\');
        return lastBackslash == String::npos ? path : path.substr(lastBackslash + 1);
    }
}

namespace
{
    // Temporary names beside a live file: "<name>.qm<n>~", never a name the file's owner reads.
    String TemporaryName(const String& path, int attempt)
    {
        return path + Strings::Format(L".qm%d~", attempt);
    }

    constexpr int TemporaryNameAttempts = 100;

    bool IsNameTaken(DWORD error)
    {
        return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
    }

    // Renames path to a free temporary name beside it; empty, with the last error set, when it
    // cannot.
    String MoveAside(const String& path)
    {
        for (int attempt = 0; attempt < TemporaryNameAttempts; ++attempt)
        {
            const String aside = TemporaryName(path, attempt);
            if (MoveFileExW(path.c_str(), aside.c_str(), 0))
                return aside;
            if (!IsNameTaken(GetLastError()))
                return String();
        }
        return String();
    }

    void RemoveFile(const String& path)
    {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
    }

    // Folders compared by name (case aside), then by identity (a share or a link to it).
    bool IsSameFolder(const String& one, const String& other)
    {
        return Strings::EqualsNoCase(StripTrailingBackslash(Paths::FromLongPath(one)),
                                     StripTrailingBackslash(Paths::FromLongPath(other))) ||
               Paths::IsSameObject(one, other);
    }
}

ReplacementSet::~ReplacementSet()
{
    if (m_finished)
        return;
    const DWORD lastError = GetLastError();
    if (m_committed)
        Undo();
    for (const Entry& entry : m_entries)
        if (!entry.staged.empty() && !entry.movedIn)
            RemoveFile(entry.staged);
    // Deepest first; a folder that holds anything else stays.
    std::sort(m_createdFolders.begin(), m_createdFolders.end(),
              [](const String& one, const String& other) { return one.size() > other.size(); });
    for (const String& folder : m_createdFolders)
        RemoveDirectoryW(folder.c_str());
    SetLastError(lastError);
}

void ReplacementSet::Add(const String& source, const String& destination)
{
    ThrowIfEmpty(source, L"Source file cannot be empty");
    ThrowIfEmpty(destination, L"Destination file cannot be empty");
    Entry entry;
    entry.source = Paths::ToLongPath(source);
    entry.destination = Paths::ToLongPath(destination);
    m_entries.push_back(entry);
}

void ReplacementSet::RemoveOthersIn(const String& folder, bool (*takes)(const String& name))
{
    ThrowIfEmpty(folder, L"Directory cannot be empty");
    const String longFolder = StripTrailingBackslash(Paths::ToLongPath(folder));
    for (const Folder& known : m_folders)
        if (Strings::EqualsNoCase(known.path, longFolder) && known.takes == takes)
            return;
    m_folders.push_back({longFolder, takes});
}

bool ReplacementSet::Failed(const String& from, const String& to)
{
    const DWORD error = GetLastError();
    m_failedFrom = Paths::FromLongPath(from);
    m_failedTo = Paths::FromLongPath(to);
    SetLastError(error);
    return false;
}

bool ReplacementSet::Stage()
{
    FileCopier copier;
    for (Entry& entry : m_entries)
    {
        const String folder = Directories::GetDirectory(entry.destination, true);
        // What Stage makes, the destructor removes again.
        std::vector<String> missing;
        for (String above = folder; !Directories::IsRoot(above) && !Paths::Exists(above);
             above = Directories::GetDirectory(above, true))
            missing.push_back(above);
        if (!Directories::Create(folder))
            return Failed(entry.source, entry.destination);
        m_createdFolders.insert(m_createdFolders.end(), missing.begin(), missing.end());

        for (int attempt = 0; entry.staged.empty(); ++attempt)
        {
            const String staged = TemporaryName(entry.destination, attempt);
            if (copier.Copy(entry.source, staged, true))
                entry.staged = staged;
            else if (!IsNameTaken(GetLastError()) || attempt + 1 == TemporaryNameAttempts)
                return Failed(entry.source, entry.destination);
        }
    }
    return true;
}

bool ReplacementSet::Commit()
{
    // The folders' other files, listed before anything is renamed there.
    for (const Folder& other : m_folders)
    {
        const String& folder = other.path;
        std::vector<String> kept;
        for (const Entry& entry : m_entries)
        {
            for (const String* path : {&entry.destination, &entry.source})
                if (IsSameFolder(Directories::GetDirectory(*path, true), folder))
                    kept.push_back(Files::GetFileName(*path));
            if (!entry.staged.empty())
                kept.push_back(Files::GetFileName(entry.staged));
        }
        WIN32_FIND_DATAW found;
        UniqueFindHandle search(FindFirstFileW((folder + L"\\*").c_str(), &found));
        if (!search)
        {
            if (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND)
                continue;
            return Failed(folder, folder);
        }
        do
        {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
                (other.takes != nullptr && !other.takes(found.cFileName)))
                continue;
            const bool isKept = std::any_of(kept.begin(), kept.end(), [&found](const String& name) {
                return Strings::EqualsNoCase(name, found.cFileName);
            });
            const String path = folder + L'\\' + found.cFileName;
            // A file that two tests of one folder take goes once.
            const bool isListed = std::any_of(m_others.begin(), m_others.end(), [&path](const Other& listed) {
                return Strings::EqualsNoCase(listed.path, path);
            });
            if (!isKept && !isListed)
                m_others.push_back({path, String()});
        } while (FindNextFileW(search.get(), &found));
        if (GetLastError() != ERROR_NO_MORE_FILES)
            return Failed(folder, folder);
    }

    m_committed = true;
    for (Entry& entry : m_entries)
    {
        if (GetFileAttributesW(entry.destination.c_str()) != INVALID_FILE_ATTRIBUTES)
        {
            entry.aside = MoveAside(entry.destination);
            if (entry.aside.empty())
                break;
        }
        if (!MoveFileExW(entry.staged.c_str(), entry.destination.c_str(), 0))
        {
            Failed(entry.staged, entry.destination);
            break;
        }
        entry.movedIn = true;
    }
    bool whole = std::all_of(m_entries.begin(), m_entries.end(), [](const Entry& entry) { return entry.movedIn; });
    for (Other& other : m_others)
    {
        if (!whole)
            break;
        other.aside = MoveAside(other.path);
        whole = !other.aside.empty();
    }
    if (whole)
        return true;

    // Failed names the rename that failed; a move aside names the file and the first
    // temporary name it tried.
    if (m_failedFrom.empty())
    {
        for (const Entry& entry : m_entries)
            if (!entry.movedIn)
            {
                Failed(entry.destination, TemporaryName(entry.destination, 0));
                break;
            }
        for (const Other& other : m_others)
            if (m_failedFrom.empty() && other.aside.empty())
                Failed(other.path, TemporaryName(other.path, 0));
    }
    const DWORD error = GetLastError();
    Undo();
    m_committed = false;
    SetLastError(error);
    return false;
}

void ReplacementSet::Undo() noexcept
{
    const auto putBack = [this](const String& from, const String& to) {
        if (!MoveFileExW(from.c_str(), to.c_str(), 0) && m_notPutBack.empty())
        {
            m_notPutBack = Paths::FromLongPath(to);
            m_notPutBackAs = Paths::FromLongPath(from);
        }
    };
    try
    {
        for (auto other = m_others.rbegin(); other != m_others.rend(); ++other)
            if (!other->aside.empty())
            {
                putBack(other->aside, other->path);
                other->aside.clear();
            }
        for (auto entry = m_entries.rbegin(); entry != m_entries.rend(); ++entry)
        {
            if (entry->movedIn)
            {
                if (!MoveFileExW(entry->destination.c_str(), entry->staged.c_str(), 0))
                {
                    // The saved copy keeps the live name; the live file stays aside.
                    if (m_notPutBack.empty() && !entry->aside.empty())
                    {
                        m_notPutBack = Paths::FromLongPath(entry->destination);
                        m_notPutBackAs = Paths::FromLongPath(entry->aside);
                    }
                    continue;
                }
                entry->movedIn = false;
            }
            if (!entry->aside.empty())
            {
                putBack(entry->aside, entry->destination);
                entry->aside.clear();
            }
        }
    }
    catch (...)
    {
        // Only the text of a file left aside can fail to be made; the renames went on as far as
        // they could.
    }
}

void ReplacementSet::Finish() noexcept
{
    if (!m_committed || m_finished)
        return;
    for (const Entry& entry : m_entries)
        if (!entry.aside.empty())
            RemoveFile(entry.aside);
    for (const Other& other : m_others)
        RemoveFile(other.aside);
    m_finished = true;
}

namespace
{
    // Zeros are judged per block at fixed file offsets: the unit in which NTFS gives back the
    // clusters of a sparse file, and a whole number of the backup APIs' reads.
    const DWORD SparseBlock = 64 * 1024;

    // Eight words at a time: the scan must cost far less than the write it saves.
    bool IsAllZero(const BYTE* data, DWORD size)
    {
        DWORD at = 0;
        for (; at + 64 <= size; at += 64)
        {
            ULONGLONG words[8];
            std::memcpy(words, data + at, sizeof words);
            if ((words[0] | words[1] | words[2] | words[3] | words[4] | words[5] | words[6] | words[7]) != 0)
                return false;
        }
        for (; at < size; ++at)
            if (data[at] != 0)
                return false;
        return true;
    }

    bool MoveFilePointer(HANDLE file, ULONGLONG offset)
    {
        LARGE_INTEGER distance;
        distance.QuadPart = static_cast<LONGLONG>(offset);
        return SetFilePointerEx(file, distance, nullptr, FILE_BEGIN) != FALSE;
    }
}

bool SparseFileWriter::Write(const void* data, DWORD size)
{
    const BYTE* const bytes = static_cast<const BYTE*>(data);
    // Runs of non-zero blocks go out in one write each.
    DWORD pending = 0;
    for (DWORD done = 0; done < size;)
    {
        const DWORD piece = static_cast<DWORD>(
            std::min<ULONGLONG>(size - done, SparseBlock - (m_length + done) % SparseBlock));
        if (IsAllZero(bytes + done, piece))
        {
            if (pending < done && !WriteAt(m_length + pending, bytes + pending, done - pending))
                return false;
            pending = done + piece;
            if (piece == SparseBlock && !m_markedSparse)
            {
                // Refused where the file system has no sparse files: the skipped blocks then take
                // disk as zeros, which is all the marking changes.
                DWORD returned = 0;
                DeviceIoControl(m_file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
                m_markedSparse = true;
            }
        }
        done += piece;
    }
    if (pending < size && !WriteAt(m_length + pending, bytes + pending, size - pending))
        return false;
    m_length += size;
    return true;
}

bool SparseFileWriter::Finish()
{
    // A file that ends in skipped blocks is only as long as its last write until it is extended.
    if (m_pointer == m_length)
        return true;
    if (!MoveFilePointer(m_file, m_length) || !SetEndOfFile(m_file))
        return false;
    m_pointer = m_length;
    return true;
}

bool SparseFileWriter::WriteAt(ULONGLONG offset, const BYTE* data, DWORD size)
{
    if (offset != m_pointer)
    {
        if (!MoveFilePointer(m_file, offset))
            return false;
        m_pointer = offset;
    }
    for (DWORD written = 0; written < size;)
    {
        DWORD piece = 0;
        if (!WriteFile(m_file, data + written, size - written, &piece, nullptr))
            return false;
        if (piece == 0)
        {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        written += piece;
        m_pointer += piece;
    }
    return true;
}

namespace Directories
{
    void AppendBackslash(String& directory)
    {
        ThrowIfEmpty(directory, L"Directory cannot be empty");
        if (!EndsWithBackslash(directory))
            directory += L'\\';
    }

    String RemoveBackslash(const String& directory)
    {
        ThrowIfEmpty(directory, L"Directory cannot be empty");
        return StripTrailingBackslash(directory);
    }

    bool IsRoot(const String& path)
    {
        ThrowIfEmpty(path, L"Path cannot be empty");
        String withBackslash = path;
        AppendBackslash(withBackslash);
        return static_cast<size_t>(Paths::GetRootLength(withBackslash)) == withBackslash.size();
    }

    bool Exists(const String& directory)
    {
        ThrowIfEmpty(directory, L"Directory cannot be empty");
        const DWORD attributes = GetFileAttributesW(LongFormForQuery(directory).c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    }

    bool IsDotEntry(const String& name)
    {
        ThrowIfEmpty(name, L"Directory cannot be empty");
        return name == L"." || name == L"..";
    }

    String GetDirectory(const String& path, bool itemPath)
    {
        ThrowIfEmpty(path, L"FileName cannot be empty");
        String item = path;
        if (itemPath)
        {
            AppendBackslash(item);
            if (IsRoot(item))
                return item;
            item.pop_back();
        }
        const size_t lastBackslash = item.rfind(L'\\');
        return lastBackslash == String::npos ? String() : item.substr(0, lastBackslash);
    }

    bool Create(const String& directory)
    {
        ThrowIfEmpty(directory, L"Directory cannot be empty");
        if (IsRoot(directory))
        {
            String root = directory;
            AppendBackslash(root);
            return Paths::Exists(root);
        }

        const String longDirectory = StripTrailingBackslash(Paths::ToLongPath(directory));
        bool isDirectory = false;
        if (Paths::GetAttributes(longDirectory, isDirectory))
            return isDirectory || Fail(ERROR_ALREADY_EXISTS);

        // Most folders are made where their parent is there already: one call then, where making
        // every folder from the root down would cost one for each level.
        if (CreateDirectoryW(longDirectory.c_str(), nullptr))
            return true;
        if (GetLastError() == ERROR_PATH_NOT_FOUND)
        {
            const size_t rootLength = static_cast<size_t>(Paths::GetRootLength(longDirectory));
            for (size_t backslash = longDirectory.find(L'\\', rootLength); backslash != String::npos;
                 backslash = longDirectory.find(L'\\', backslash + 1))
            {
                const String parent = longDirectory.substr(0, backslash);
                if (parent == L"\\")
                    continue;
                if (!CreateDirectoryW(parent.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
                    return false;
            }
            if (CreateDirectoryW(longDirectory.c_str(), nullptr))
                return true;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
        // Made meanwhile by someone else: fine if it is a directory.
        isDirectory = false;
        return (Paths::GetAttributes(longDirectory, isDirectory) && isDirectory) || Fail(ERROR_ALREADY_EXISTS);
    }

    DWORD Copy(const String& source, const String& destination, StringList* folderLinks)
    {
        ThrowIfEmpty(source, L"Source Directory cannot be empty");
        ThrowIfEmpty(destination, L"Destination Directory cannot be empty");
        FileCopier copier;
        const String longSource = StripTrailingBackslash(Paths::ToLongPath(source));
        TreeLinks links = {folderLinks, longSource.size() + 1};
        const String longDestination = StripTrailingBackslash(Paths::ToLongPath(destination));
        if (!Directories::Create(longDestination))
            return GetLastError();
        return CopyTree(longSource, longDestination, copier, links);
    }

    bool DeleteFiles(const String& directory, const String& pattern, String* failedEntry)
    {
        ThrowIfEmpty(directory, L"Directory cannot be empty");
        ThrowIfEmpty(pattern, L"File pattern cannot be empty");
        const String longDirectory = StripTrailingBackslash(Paths::ToLongPath(directory));

        WIN32_FIND_DATAW entry;
        UniqueFindHandle search(FindFirstFileW((longDirectory + L'\\' + pattern).c_str(), &entry));
        if (!search)
        {
            // Nothing matched, or no directory at all: nothing to delete.
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_NO_MORE_FILES)
                return true;
            return Failed(failedEntry, longDirectory, error);
        }
        do
        {
            if (IsDotEntry(entry.cFileName))
                continue;
            const String path = longDirectory + L'\\' + entry.cFileName;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
                SetFileAttributesW(path.c_str(), entry.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            {
                // A junction or directory link is removed itself; what it points at is not ours.
                if (IsReparsePoint(entry.dwFileAttributes))
                {
                    if (!RemoveDirectoryW(path.c_str()))
                        return Failed(failedEntry, path, GetLastError());
                }
                else if (!Delete(path, failedEntry))
                {
                    return false;
                }
            }
            else if (!Files::Delete(path))
            {
                return Failed(failedEntry, path, GetLastError());
            }
        } while (FindNextFileW(search.get(), &entry));

        const DWORD endReason = GetLastError();
        return endReason == ERROR_NO_MORE_FILES || Failed(failedEntry, longDirectory, endReason);
    }

    bool Delete(const String& directory, String* failedEntry)
    {
        ThrowIfEmpty(directory, L"Directory cannot be empty");
        if (!DeleteFiles(directory, L"*.*", failedEntry))
            return false;
        const String longDirectory = StripTrailingBackslash(Paths::ToLongPath(directory));
        if (RemoveDirectoryW(longDirectory.c_str()))
            return true;
        // A directory that is not there counts as deleted.
        const DWORD error = GetLastError();
        return error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND || Failed(failedEntry, longDirectory, error);
    }
}

namespace
{
    // Copies what longSource holds into longDestination, which is there already.
    DWORD CopyTree(const String& longSource, const String& longDestination, FileCopier& copier, TreeLinks& links)
    {
        WIN32_FIND_DATAW entry;
        UniqueFindHandle search(FindFirstFileW((longSource + L"\\*.*").c_str(), &entry));
        if (!search)
        {
            // An empty or missing source copies nothing; one that cannot be read is a failure.
            const DWORD error = GetLastError();
            return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ERROR_SUCCESS : error;
        }

        do
        {
            // Names beginning with "." are skipped: ".", ".." and hidden dot files alike.
            if (entry.cFileName[0] == L'.')
                continue;
            const String from = longSource + L'\\' + entry.cFileName;
            const String to = longDestination + L'\\' + entry.cFileName;
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && IsReparsePoint(entry.dwFileAttributes) &&
                links.list != nullptr)
            {
                links.list->push_back(from.substr(links.rootLength));
            }
            else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            {
                if (!CreateTreeFolder(to))
                    return GetLastError();
                const DWORD result = CopyTree(from, to, copier, links);
                if (result != ERROR_SUCCESS)
                    return result;
            }
            // A file already there is replaced once its copy is whole. Trying the copy before
            // looking saves a lookup of each new name, which costs a scan of its folder under Wine.
            else if (!copier.Copy(from, to, true, &entry))
            {
                const DWORD error = GetLastError();
                if ((error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) || !copier.Copy(from, to, false, &entry))
                    return GetLastError();
            }
        } while (FindNextFileW(search.get(), &entry));

        const DWORD endReason = GetLastError();
        return endReason == ERROR_NO_MORE_FILES ? ERROR_SUCCESS : endReason;
    }
}

HRESULT EnvironmentVariables::ExpandBelowSystemRoot(const String& name, String& folder)
{
    if (Expand(L"%SystemRoot%", folder) != S_OK)
        return E_FAIL;
    folder = Directories::RemoveBackslash(folder) + L'\\' + name;
    return S_OK;
}

HRESULT EnvironmentVariables::Expand(const String& source, String& expanded)
{
    const DWORD classicSize = 260;
    expanded.assign(classicSize, L'\0');
    DWORD result = ExpandEnvironmentStringsW(source.c_str(), &expanded[0], classicSize);
    // A longer expansion reports the size it needs instead of expanding: give it that much.
    if (result > classicSize)
    {
        expanded.assign(result, L'\0');
        result = ExpandEnvironmentStringsW(source.c_str(), &expanded[0], result);
    }
    if (result == 0 || result > expanded.size())
    {
        expanded.clear();
        m_error += Strings::Format(L"ExpandEnvironmentStrings(%s, %s, %d) failed!", source.c_str(), expanded.c_str(),
                                   static_cast<int>(classicSize));
        return E_FAIL;
    }
    expanded.resize(wcslen(expanded.c_str()));
    return S_OK;
}
