#pragma once
// The catalog ssbr keeps beside a backup: SHA256SUMS (one line per file below the target, as
// sha256sum -c reads it from that folder) and backup.json (what was asked, what was done), and
// the check of a backup against them.

#include "errors/Exceptions.h"
#include "module/Components.h"
#include "handles/Handles.h"
#include "text/Strings.h"

#include <cstdint>
#include <functional>
#include <vector>

QM_DECLARE_MODULE_EXCEPTION(CatalogException);

namespace Catalog
{
    constexpr const wchar_t* SumsFile = Components::SumsFile;
    constexpr const wchar_t* InfoFile = Components::InfoFile;

    struct File
    {
        String path;   // relative to the backup, forward slashes
        uint64_t size = 0;
    };

    // Every file below directory (reparse points are not followed), sorted by path.
    // Throws CatalogException when the directory cannot be listed.
    std::vector<File> ListFiles(const String& directory);

    // SHA-256 through CryptoAPI's AES provider, which Windows Server 2003 SP2 has.
    class Sha256
    {
    public:
        // Throws CatalogException when the provider cannot be had.
        Sha256();
        // The file's hash as 64 lower-case hex digits, read in large blocks; adds what it read to
        // bytesRead when given. Throws CatalogException naming the file when it cannot be read.
        String HashFile(const String& path, uint64_t* bytesRead = nullptr);

    private:
        UniqueCryptProvider m_provider;
        UniqueVirtualMemory m_buffer;
    };

    // Hashes files below directory, several at a time (one thread per processor, at most four):
    // the hash of each in order, or why it could not be read.
    struct Hashed
    {
        String hash;    // empty when the file could not be read
        String error;
        uint64_t bytes = 0;
    };
    // How one file is hashed: the provider's HashFile unless another is given. Whatever it throws,
    // of any kind, is that file's error; nothing a worker meets ends the process.
    using HashOne = String (*)(Sha256& hasher, const String& path, uint64_t* bytesRead);
    std::vector<Hashed> HashFiles(const String& directory, const StringList& paths, HashOne hashOne = nullptr);

    // Writes SHA256SUMS for the files (paths relative to directory). Throws CatalogException; a
    // half-written file is removed.
    void WriteSums(const String& directory, const std::vector<File>& files);

    struct Sum
    {
        String hash;
        String path;
    };
    // False when SHA256SUMS is missing; throws CatalogException for a line that is not a checksum line.
    bool ReadSums(const String& directory, std::vector<Sum>& sums);

    struct Damage
    {
        bool catalogMissing = false;   // no SHA256SUMS: nothing could be checked
        StringList missing;            // listed, not there
        StringList changed;            // there, another hash (or unreadable, with the reason)
        StringList extra;              // there, not listed
        StringList byproducts;         // the registry restore's .tmp/.bak/.work beside a listed hive
        uint64_t checkedFiles = 0;
        uint64_t checkedBytes = 0;

        bool IsWhole() const { return !catalogMissing && missing.empty() && changed.empty() && extra.empty(); }
    };
    Damage Verify(const String& directory);

    // The component that a file of a backup belongs to, judged from the first part of its path by
    // the names the component table gives each component; null for the catalog's own files and
    // for what no component writes. looseFilesOwner takes the files at the top that no component
    // names.
    const Component* ComponentOf(const String& path, const Component* looseFilesOwner);

    // The component whose loose files lie at the top of the backup in directory: one that writes
    // loose files, with its manifest there; null when there is none.
    const Component* LooseFilesOwner(const String& directory);

    // Where a file of a backup came from, for the layouts that mirror the live path below a
    // drive-letter folder ("Reg/C/WINDOWS/x" came from "C:\WINDOWS\x"); empty otherwise.
    String LivePathOf(const String& path);

    // The file's full path below directory, in the long form.
    String FullPath(const String& directory, const String& path);
}
