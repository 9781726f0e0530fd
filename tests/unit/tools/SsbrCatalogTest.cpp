// ssbr's catalog against real files: the hashes sha256sum would give, and a verify that names
// every kind of damage.

#include "Catalog.h"

#include "common/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

namespace
{
    String Listed(const StringList& paths)
    {
        String text;
        for (const String& path : paths)
            text += path + L";";
        return text;
    }
}

TEST(SsbrCatalog, HashesMatchTheKnownSha256Values)
{
    ScratchDirectory scratch;
    WriteTextFile(scratch / L"abc", "abc");
    WriteTextFile(scratch / L"empty", "");
    // Larger than one read, so the stream is hashed across blocks.
    WriteTextFile(scratch / L"big", std::string(3 * 1048576 + 5, 'a'));
    Catalog::Sha256 hasher;
    uint64_t bytes = 0;
    EXPECT_EQ(L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", hasher.HashFile(scratch / L"abc", &bytes));
    EXPECT_EQ(L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", hasher.HashFile(scratch / L"empty"));
    EXPECT_EQ(L"aff2c7498aae939dfb2fb1dc6c0c83fa3708b069428e51338801af7f5dc2bf0f", hasher.HashFile(scratch / L"big", &bytes));
    EXPECT_EQ(3u + 3 * 1048576 + 5, bytes);
    EXPECT_EQ(L"CreateFile(" + scratch / L"none" + L") failed: " + SystemErrorText(ERROR_FILE_NOT_FOUND),
              MessageOf<CatalogException>([&] { hasher.HashFile(scratch / L"none"); }));
}

TEST(SsbrCatalog, SumsFileIsWhatSha256sumReadsAndVerifyNamesEveryDamage)
{
    ScratchDirectory scratch;
    const String backup = scratch.Path();
    WriteTextFile(scratch / L"RegistryBackupSet.xml", "<BackupSet/>");
    WriteTextFile(scratch / L"Reg\\C\\WINDOWS\\system32\\config\\software", "hive one");
    WriteTextFile(scratch / L"Reg\\C\\WINDOWS\\system32\\config\\system", "hive two");
    WriteTextFile(scratch / L"Reg\\C\\WINDOWS\\system32\\config\\sam", "hive three");
    WriteTextFile(scratch / L"backup.json", "{}");
    Catalog::WriteSums(backup, Catalog::ListFiles(backup));

    const std::string sums = ReadTextFile(scratch / L"SHA256SUMS");
    EXPECT_NE(std::string::npos,
              sums.find("1a32e117ea6712b490dc24d779aa43f14e78d3ce9a12a0d91c9b7639fd256b89  RegistryBackupSet.xml\n"))
        << sums;
    EXPECT_NE(std::string::npos, sums.find("  Reg/C/WINDOWS/system32/config/software\n")) << sums;
    EXPECT_NE(std::string::npos, sums.find("  backup.json\n")) << sums;
    EXPECT_EQ(std::string::npos, sums.find("SHA256SUMS")) << sums;

    Catalog::Damage damage = Catalog::Verify(backup);
    EXPECT_TRUE(damage.IsWhole());
    EXPECT_EQ(5u, damage.checkedFiles);

    // A flipped byte, a truncated file, a deleted one, an added one, and the restore's by-products.
    WriteTextFile(scratch / L"Reg\\C\\WINDOWS\\system32\\config\\software", "hive One");
    WriteTextFile(scratch / L"Reg\\C\\WINDOWS\\system32\\config\\system", "hive");
    DeleteFileW((scratch / L"Reg\\C\\WINDOWS\\system32\\config\\sam").c_str());
    WriteTextFile(scratch / L"Reg\\C\\added", "new");
    WriteTextFile(scratch / L"Reg\\C\\WINDOWS\\system32\\config\\software.tmp", "prepared");
    WriteTextFile(scratch / L"Reg\\C\\WINDOWS\\system32\\config\\software.bak", "live");
    WriteTextFile(scratch / L"notes.tmp", "not beside a hive");
    damage = Catalog::Verify(backup);
    EXPECT_FALSE(damage.IsWhole());
    EXPECT_EQ(L"Reg/C/WINDOWS/system32/config/sam;", Listed(damage.missing));
    EXPECT_EQ(L"Reg/C/WINDOWS/system32/config/software;Reg/C/WINDOWS/system32/config/system;", Listed(damage.changed));
    EXPECT_EQ(L"Reg/C/added;notes.tmp;", Listed(damage.extra));
    EXPECT_EQ(L"Reg/C/WINDOWS/system32/config/software.bak;Reg/C/WINDOWS/system32/config/software.tmp;",
              Listed(damage.byproducts));

    DeleteFileW((scratch / L"SHA256SUMS").c_str());
    damage = Catalog::Verify(backup);
    EXPECT_TRUE(damage.catalogMissing);
    EXPECT_FALSE(damage.IsWhole());
}

TEST(SsbrCatalog, MalformedSumsLineIsNamed)
{
    ScratchDirectory scratch;
    WriteTextFile(scratch / L"SHA256SUMS", std::string(64, 'a') + "  one\nnot a line\n");
    std::vector<Catalog::Sum> sums;
    EXPECT_EQ(scratch / L"SHA256SUMS" + L" line 2 is not a checksum line",
              MessageOf<CatalogException>([&] { Catalog::ReadSums(scratch.Path(), sums); }));
}

TEST(SsbrCatalog, FilesBelongToTheComponentThatWritesTheirTopLevelName)
{
    const struct
    {
        const wchar_t* path;
        const wchar_t* owner;
        const wchar_t* live;
    } cases[] = {
        {L"Reg/C/WINDOWS/system32/config/SAM", L"--registry", L"C:\\WINDOWS\\system32\\config\\SAM"},
        {L"RegistryBackupSet.xml", L"--registry", L""},
        {L"BootFiles/C/NtLdr", L"--boot-files", L"C:\\NtLdr"},
        {L"SfcDllCache/x.dll", L"--boot-files", L""},
        {L"sysvol/C/WINDOWS/SYSVOL/domain/a.ini", L"--sysvol", L"C:\\WINDOWS\\SYSVOL\\domain\\a.ini"},
        {L"CertSrv/ca.edb", L"--certificate-services", L""},
        {L"Cluster/CLUSDB", L"--cluster", L""},
        {L"comDB.reg", L"--complus", L""},
        {L"ntds.dit", L"--active-directory", L""},   // loose at the top: the directory's, when it is there
        {L"SHA256SUMS", nullptr, L""},
        {L"backup.json", nullptr, L""},
        {L"Other/file", nullptr, L""},
    };
    for (const auto& each : cases)
    {
        const wchar_t* owner = Catalog::ComponentOf(each.path, L"--active-directory");
        EXPECT_EQ(String(each.owner ? each.owner : L"(none)"), String(owner ? owner : L"(none)")) << Strings::ToUtf8(each.path);
        EXPECT_EQ(String(each.live), Catalog::LivePathOf(each.path)) << Strings::ToUtf8(each.path);
    }
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
