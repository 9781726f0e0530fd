#include "Catalog.h"

#include "errors/CurrentException.h"
#include "errors/ErrorText.h"
#include "files/Directories.h"
#include "files/Paths.h"

#include <algorithm>
#include <map>
#include <optional>

namespace
{
    // Large reads keep the provider busy; beyond about 1 MiB they gain nothing.
    constexpr DWORD BufferSize = 1 << 20;

    void Walk(const String& longDirectory, const String& relative, std::vector<Catalog::File>& files)
    {
        WIN32_FIND_DATAW entry;
        UniqueFindHandle search(FindFirstFileW((longDirectory + L"\\*").c_str(), &entry));
        if (!search)
        {
            const DWORD error = GetLastError();
            throw CatalogException(Strings::Format(L"FindFirstFile(%s) failed: %s", Paths::FromLongPath(longDirectory).c_str(),
                                                   ErrorText::Format(error).c_str()));
        }
        do
        {
            if (Directories::IsDotEntry(entry.cFileName))
                continue;
            const String path = relative.empty() ? String(entry.cFileName) : relative + L'/' + entry.cFileName;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            {
                // A junction could lead out of the backup, or round in a circle.
                if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                    Walk(longDirectory + L'\\' + entry.cFileName, path, files);
                continue;
            }
            files.push_back({path, (static_cast<uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow});
        } while (FindNextFileW(search.get(), &entry));
    }

    String Hex(const BYTE* bytes, DWORD length)
    {
        static const wchar_t digits[] = L"0123456789abcdef";
        String text;
        for (DWORD i = 0; i < length; ++i)
        {
            text += digits[bytes[i] >> 4];
            text += digits[bytes[i] & 15];
        }
        return text;
    }

    struct HashWork
    {
        HashWork(const String& directory, const StringList& paths, Catalog::HashOne hashOne)
            : directory(directory), paths(paths), hashOne(hashOne), results(paths.size())
        {
        }

        const String& directory;
        const StringList& paths;
        Catalog::HashOne hashOne;
        std::vector<Catalog::Hashed> results;
        volatile LONG next = -1;
        // Why a worker stopped early, for the files it left; the first one to stop tells.
        CriticalSection lock;
        bool stopped = false;
        String stopFailure;
    };

    String HashWithProvider(Catalog::Sha256& hasher, const String& path, uint64_t* bytesRead)
    {
        return hasher.HashFile(path, bytesRead);
    }

    // Takes the next file until none is left, with a provider and buffer of its own.
    void HashAssigned(HashWork& work)
    {
        std::optional<Catalog::Sha256> hasher;
        String providerError;
        try
        {
            hasher.emplace();
        }
        catch (const CatalogException& error)
        {
            providerError = error.GetMessage();
        }
        for (LONG index = InterlockedIncrement(&work.next); index < static_cast<LONG>(work.paths.size());
             index = InterlockedIncrement(&work.next))
        {
            Catalog::Hashed& result = work.results[index];
            if (!hasher)
            {
                result.error = providerError;
                continue;
            }
            String failure;
            const bool finished = CurrentException::Guarded(
                [&] {
                    try
                    {
                        result.hash =
                            work.hashOne(*hasher, Catalog::FullPath(work.directory, work.paths[index]), &result.bytes);
                    }
                    catch (const CatalogException& error)
                    {
                        result.error = error.GetMessage();
                    }
                },
                failure);
            if (!finished)
                result.error = failure.empty() ? String(L"Out of memory.") : failure;
        }
    }

    // A thread's start routine: nothing it meets may end the process, so whatever stops it is
    // kept as the failure of the files it leaves.
    DWORD WINAPI HashWorker(void* parameter) noexcept
    {
        auto& work = *static_cast<HashWork*>(parameter);
        String failure;
        if (!CurrentException::Guarded([&] { HashAssigned(work); }, failure))
        {
            const auto held = work.lock.Lock();
            if (!work.stopped)
            {
                work.stopped = true;
                work.stopFailure.swap(failure);
            }
        }
        return 0;
    }

    String FirstPart(const String& path)
    {
        return path.substr(0, path.find(L'/'));
    }

    bool IsCatalogFile(const String& path)
    {
        return Strings::EqualsNoCase(path, Catalog::SumsFile) || Strings::EqualsNoCase(path, Catalog::InfoFile);
    }
}

namespace Catalog
{
    String FullPath(const String& directory, const String& path)
    {
        String full = Directories::RemoveBackslash(Paths::ToLongPath(directory)) + L'\\' + path;
        std::replace(full.begin(), full.end(), L'/', L'\\');
        return full;
    }

    std::vector<File> ListFiles(const String& directory)
    {
        std::vector<File> files;
        Walk(Directories::RemoveBackslash(Paths::ToLongPath(directory)), String(), files);
        std::sort(files.begin(), files.end(), [](const File& a, const File& b) { return a.path < b.path; });
        return files;
    }

    Sha256::Sha256()
    {
        if (!CryptAcquireContextW(m_provider.put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        {
            const DWORD error = GetLastError();
            throw CatalogException(Strings::Format(L"CryptAcquireContext(PROV_RSA_AES) failed: %s",
                                                   ErrorText::Format(error).c_str()));
        }
        m_buffer.reset(VirtualAlloc(nullptr, BufferSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        if (!m_buffer)
        {
            const DWORD error = GetLastError();
            throw CatalogException(Strings::Format(L"VirtualAlloc(%lu) failed: %s", BufferSize,
                                                   ErrorText::Format(error).c_str()));
        }
    }

    String Sha256::HashFile(const String& path, uint64_t* bytesRead)
    {
        UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_BACKUP_SEMANTICS,
                                          nullptr));
        if (!file)
        {
            const DWORD error = GetLastError();
            throw CatalogException(Strings::Format(L"CreateFile(%s) failed: %s", Paths::FromLongPath(path).c_str(),
                                                   ErrorText::Format(error).c_str()));
        }
        UniqueCryptHash hash;
        if (!CryptCreateHash(m_provider.get(), CALG_SHA_256, 0, 0, hash.put()))
        {
            const DWORD error = GetLastError();
            throw CatalogException(Strings::Format(L"CryptCreateHash(CALG_SHA_256) failed: %s",
                                                   ErrorText::Format(error).c_str()));
        }
        auto* buffer = static_cast<BYTE*>(m_buffer.get());
        for (;;)
        {
            DWORD read = 0;
            if (!ReadFile(file.get(), buffer, BufferSize, &read, nullptr))
            {
                const DWORD error = GetLastError();
                throw CatalogException(Strings::Format(L"ReadFile(%s) failed: %s", Paths::FromLongPath(path).c_str(),
                                                       ErrorText::Format(error).c_str()));
            }
            if (read == 0)
                break;
            if (!CryptHashData(hash.get(), buffer, read, 0))
            {
                const DWORD error = GetLastError();
                throw CatalogException(Strings::Format(L"CryptHashData(%s) failed: %s", Paths::FromLongPath(path).c_str(),
                                                       ErrorText::Format(error).c_str()));
            }
            if (bytesRead != nullptr)
                *bytesRead += read;
        }
        BYTE digest[32];
        DWORD length = sizeof digest;
        if (!CryptGetHashParam(hash.get(), HP_HASHVAL, digest, &length, 0))
        {
            const DWORD error = GetLastError();
            throw CatalogException(Strings::Format(L"CryptGetHashParam(%s) failed: %s", Paths::FromLongPath(path).c_str(),
                                                   ErrorText::Format(error).c_str()));
        }
        return Hex(digest, length);
    }

    std::vector<Hashed> HashFiles(const String& directory, const StringList& paths, HashOne hashOne)
    {
        HashWork work(directory, paths, hashOne != nullptr ? hashOne : &HashWithProvider);

        SYSTEM_INFO system;
        GetSystemInfo(&system);
        const size_t helpers = std::min<size_t>({system.dwNumberOfProcessors, 4, paths.size()});
        std::vector<UniqueKernelHandle> threads;
        for (size_t i = 1; i < helpers; ++i)
        {
            UniqueKernelHandle thread(CreateThread(nullptr, 0, &HashWorker, &work, 0, nullptr));
            // Fewer threads only take longer.
            if (thread)
                threads.push_back(std::move(thread));
        }
        HashWorker(&work);
        for (const UniqueKernelHandle& thread : threads)
            WaitForSingleObject(thread.get(), INFINITE);
        // A file that a stopped worker held, or that no worker got to, is not whole.
        for (Hashed& result : work.results)
            if (result.hash.empty() && result.error.empty())
                result.error = work.stopFailure.empty() ? String(L"Out of memory.") : work.stopFailure;
        return std::move(work.results);
    }

    void WriteSums(const String& directory, const std::vector<File>& files)
    {
        StringList paths;
        for (const File& file : files)
            paths.push_back(file.path);
        const std::vector<Hashed> hashed = HashFiles(directory, paths);
        std::string text;
        for (size_t i = 0; i < files.size(); ++i)
        {
            if (hashed[i].hash.empty())
                throw CatalogException(hashed[i].error);
            text += Strings::ToUtf8(hashed[i].hash + L"  " + files[i].path) + "\n";
        }

        const String sumsPath = FullPath(directory, SumsFile);
        UniqueFileHandle sums(CreateFileW(sumsPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!sums || !WriteFile(sums.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
            written != text.size() || !FlushFileBuffers(sums.get()))
        {
            const DWORD error = GetLastError();
            sums.reset();
            DeleteFileW(sumsPath.c_str());
            throw CatalogException(Strings::Format(L"Writing %s failed: %s", Paths::FromLongPath(sumsPath).c_str(),
                                                   ErrorText::Format(error).c_str()));
        }
    }

    bool ReadSums(const String& directory, std::vector<Sum>& sums)
    {
        const String sumsPath = FullPath(directory, SumsFile);
        UniqueFileHandle file(CreateFileW(sumsPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file)
        {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
                return false;
            throw CatalogException(Strings::Format(L"CreateFile(%s) failed: %s", Paths::FromLongPath(sumsPath).c_str(),
                                                   ErrorText::Format(error).c_str()));
        }
        std::string text;
        char block[65536];
        DWORD read = 0;
        while (ReadFile(file.get(), block, sizeof block, &read, nullptr) && read > 0)
            text.append(block, read);

        unsigned lineNumber = 0;
        for (size_t start = 0; start < text.size();)
        {
            size_t end = text.find('\n', start);
            if (end == std::string::npos)
                end = text.size();
            std::string line = text.substr(start, end - start);
            start = end + 1;
            ++lineNumber;
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.empty())
                continue;
            // "<64 hex digits><blank><blank or *><path>", as sha256sum writes it.
            const bool hex = line.size() > 66 && line.find_first_not_of("0123456789abcdefABCDEF") == 64;
            if (!hex || line[64] != ' ' || (line[65] != ' ' && line[65] != '*'))
                throw CatalogException(Strings::Format(L"%s line %u is not a checksum line", Paths::FromLongPath(sumsPath).c_str(),
                                                       lineNumber));
            sums.push_back({Strings::FromUtf8(line.substr(0, 64)), Strings::FromUtf8(line.substr(66))});
        }
        return true;
    }

    Damage Verify(const String& directory)
    {
        Damage damage;
        std::vector<Sum> sums;
        if (!ReadSums(directory, sums))
        {
            damage.catalogMissing = true;
            return damage;
        }
        // Names compare as the file system compares them.
        std::map<String, const Sum*> listed;
        for (const Sum& sum : sums)
            listed[Strings::ToUpper(sum.path)] = &sum;

        std::map<String, const File*> present;
        const std::vector<File> files = ListFiles(directory);
        for (const File& file : files)
            present[Strings::ToUpper(file.path)] = &file;

        StringList toHash;
        for (const Sum& sum : sums)
            if (present.find(Strings::ToUpper(sum.path)) == present.end())
                damage.missing.push_back(sum.path);
            else
                toHash.push_back(sum.path);
        const std::vector<Hashed> hashed = HashFiles(directory, toHash);
        for (size_t i = 0; i < toHash.size(); ++i)
        {
            if (hashed[i].hash.empty())
            {
                damage.changed.push_back(toHash[i] + L" (" + hashed[i].error + L")");
                continue;
            }
            ++damage.checkedFiles;
            damage.checkedBytes += hashed[i].bytes;
            if (!Strings::EqualsNoCase(hashed[i].hash, listed[Strings::ToUpper(toHash[i])]->hash))
                damage.changed.push_back(toHash[i]);
        }

        for (const File& file : files)
        {
            const String key = Strings::ToUpper(file.path);
            if (listed.count(key) != 0 || Strings::EqualsNoCase(file.path, SumsFile))
                continue;
            bool byproduct = false;
            for (const wchar_t* suffix : {L".TMP", L".BAK", L".WORK"})
            {
                const size_t length = wcslen(suffix);
                if (key.size() > length && key.compare(key.size() - length, length, suffix) == 0 &&
                    key.compare(0, 4, L"REG/") == 0 && listed.count(key.substr(0, key.size() - length)) != 0)
                    byproduct = true;
            }
            (byproduct ? damage.byproducts : damage.extra).push_back(file.path);
        }
        return damage;
    }

    const Component* ComponentOf(const String& path, const Component* looseFilesOwner)
    {
        const String first = FirstPart(path);
        if (IsCatalogFile(path))
            return nullptr;
        // Loose files are the caller's call.
        for (const Component& component : Components::All())
            for (const TopLevelName* name = component.topLevelNames; name->name != nullptr; ++name)
                if (name->kind != TopLevelKind::LooseFiles && Strings::EqualsNoCase(first, name->name))
                    return &component;
        return first.size() == path.size() ? looseFilesOwner : nullptr;
    }

    const Component* LooseFilesOwner(const String& directory)
    {
        for (const Component& component : Components::All())
        {
            bool writesLooseFiles = false, hasManifest = false;
            for (const TopLevelName* name = component.topLevelNames; name->name != nullptr; ++name)
            {
                bool isDirectory = false;
                writesLooseFiles = writesLooseFiles || name->kind == TopLevelKind::LooseFiles;
                hasManifest = hasManifest || (name->kind == TopLevelKind::Mark &&
                                              Paths::GetAttributes(FullPath(directory, name->name), isDirectory) &&
                                              !isDirectory);
            }
            if (writesLooseFiles && hasManifest)
                return &component;
        }
        return nullptr;
    }

    String LivePathOf(const String& path)
    {
        const size_t first = path.find(L'/');
        if (first == String::npos)
            return String();
        const size_t second = path.find(L'/', first + 1);
        if (second != first + 2 || second + 1 >= path.size() || !iswalpha(path[first + 1]))
            return String();
        String live = String(1, path[first + 1]) + L":\\" + path.substr(second + 1);
        std::replace(live.begin(), live.end(), L'/', L'\\');
        return live;
    }
}
