// ssbr's catalog against real files: the hashes sha256sum would give, the component each file of
// a backup belongs to, and hashing that survives any failure. What verify makes of damage is
// shown through ssbr in tests/lab/ssbr_catalog.sh.

#include "Catalog.h"

#include "common/ScratchDirectory.h"
#include "files/Directories.h"

#include <gtest/gtest.h>

#include <new>
#include <utility>
#include <stdexcept>

TEST(SsbrCatalog, HashesAcrossReadsAndNamesWhatItCannotRead)
{
    ScratchDirectory scratch;
    // Larger than one read, so the stream is hashed across blocks (the lab's sha256sum -c checks
    // the hashes of real backups).
    WriteTextFile(scratch / L"big", std::string(3 * 1048576 + 5, 'a'));
    Catalog::Sha256 hasher;
    uint64_t bytes = 0;
    EXPECT_EQ(L"aff2c7498aae939dfb2fb1dc6c0c83fa3708b069428e51338801af7f5dc2bf0f", hasher.HashFile(scratch / L"big", &bytes));
    EXPECT_EQ(3u * 1048576 + 5, bytes);
    EXPECT_EQ(L"CreateFile(" + scratch / L"none" + L") failed: " + SystemErrorText(ERROR_FILE_NOT_FOUND),
              MessageOf<CatalogException>([&] { hasher.HashFile(scratch / L"none"); }));
    WriteTextFile(scratch / L"SHA256SUMS", std::string(64, 'a') + "  one\nnot a line\n");
    std::vector<Catalog::Sum> sums;
    EXPECT_EQ(scratch / L"SHA256SUMS" + L" line 2 is not a checksum line",
              MessageOf<CatalogException>([&] { Catalog::ReadSums(scratch.Path(), sums); }));
}

TEST(SsbrCatalog, FilesBelongToTheComponentThatWritesTheirTopLevelName)
{
    const Component* looseOwner = nullptr;
    for (const Component& component : Components::All())
        for (const TopLevelName* name = component.topLevelNames; name->name != nullptr; ++name)
            if (name->kind == TopLevelKind::LooseFiles)
                looseOwner = &component;
            else
            {
                // The name itself, and anything below a folder of that name, in any case.
                EXPECT_EQ(&component, Catalog::ComponentOf(name->name, nullptr)) << Strings::ToUtf8(name->name);
                EXPECT_EQ(&component, Catalog::ComponentOf(Strings::ToUpper(name->name) + L"/C/x", nullptr))
                    << Strings::ToUtf8(name->name);
            }
    ASSERT_NE(nullptr, looseOwner);
    // Other files at the top are the loose files' owner's; the catalog's and what lies below a
    // folder no component writes are nobody's.
    EXPECT_EQ(looseOwner, Catalog::ComponentOf(L"edb00001.log", looseOwner));
    for (const wchar_t* path : {L"SHA256SUMS", L"backup.json", L"Other/edb00001.log"})
        EXPECT_EQ(nullptr, Catalog::ComponentOf(path, looseOwner)) << Strings::ToUtf8(path);

    // The loose files have an owner only beside its manifest, not beside a folder of its.
    ScratchDirectory scratch;
    for (const TopLevelName* name = looseOwner->topLevelNames; name->name != nullptr; ++name)
        if (name->kind == TopLevelKind::MarkFolder)
        {
            ASSERT_TRUE(Directories::Create(scratch / name->name));
        }
    EXPECT_EQ(nullptr, Catalog::LooseFilesOwner(scratch.Path()));
    WriteTextFile(scratch / looseOwner->topLevelNames[0].name, "<BackupSet/>");
    EXPECT_EQ(looseOwner, Catalog::LooseFilesOwner(scratch.Path()));

    // Where a file came from, for the layouts that mirror the live path below a drive letter.
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"Reg/C/WINDOWS/system32/config/SAM", L"C:\\WINDOWS\\system32\\config\\SAM"}, {L"BootFiles/C/NtLdr", L"C:\\NtLdr"},
        {L"CertSrv/ca.edb", L""}, {L"Reg/C/", L""}, {L"comDB.reg", L""}};
    for (const auto& each : cases)
        EXPECT_EQ(String(each.second), Catalog::LivePathOf(each.first)) << Strings::ToUtf8(each.first);
}

namespace
{
    // A hasher that fails in every way a worker can meet, by the file's name.
    String FailingHasher(Catalog::Sha256&, const String& path, uint64_t* bytes)
    {
        const String name = path.substr(path.rfind(L'\\') + 1);
        if (name == L"catalog")
            throw CatalogException(L"ReadFile(catalog) failed");
        if (name == L"memory")
            throw std::bad_alloc();
        if (name == L"library")
            throw std::length_error("basic_string::_M_create");
        if (name == L"other")
            throw 7;
        *bytes += 1;
        return L"hash of " + name;
    }
}

TEST(SsbrCatalog, AnyFailureInAHashingWorkerIsThatFilesErrorAndTheOthersAreHashed)
{
    ScratchDirectory scratch;
    // More files than workers, so that every worker meets failures and goes on.
    StringList paths;
    for (int round = 0; round < 3; ++round)
        for (const wchar_t* name : {L"catalog", L"memory", L"library", L"other", L"fine"})
            paths.push_back(Strings::Format(L"%d/%s", round, name));
    const std::vector<Catalog::Hashed> hashed = Catalog::HashFiles(scratch.Path(), paths, &FailingHasher);
    ASSERT_EQ(paths.size(), hashed.size());
    for (size_t i = 0; i < paths.size(); ++i)
    {
        const String name = paths[i].substr(2);
        const String expected = name == L"catalog"   ? L"ReadFile(catalog) failed"
                                : name == L"memory"  ? L"Out of memory."
                                : name == L"library" ? L"Standard library exception: basic_string::_M_create"
                                : name == L"other"   ? L"Unknown exception."
                                                     : L"";
        EXPECT_EQ(expected, hashed[i].error) << Strings::ToUtf8(paths[i]);
        EXPECT_EQ(expected.empty() ? L"hash of fine" : L"", hashed[i].hash) << Strings::ToUtf8(paths[i]);
    }
}
