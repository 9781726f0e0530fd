// A machine without a COM+ catalog: every lab machine has one, so only here can its absence be
// seen failing both operations with the creation's code, and writing nothing. Without a catalog,
// a restore refused with the module's own text shows the refusal came before the catalog.

#include "complus/COMDatabase.h"

#include "errors/Exceptions.h"
#include "handles/Handles.h"
#include "common/ScratchDirectory.h"

namespace
{
    const wchar_t* const NoCatalog = L"CoCreateInstance(CLSID_COMAdminCatalog) failed: Error = 0x80040154";
}

TEST(COMDatabase, WithoutACatalogBothOperationsFailWithTheCreationCode)
{
    const ComApartment apartment(COINIT_MULTITHREADED);
    ASSERT_TRUE(apartment);
    ScratchDirectory folder;
    String message = MessageOf<COMDatabaseException>([&] { COMDatabase::Backup(folder.Path()); });
    EXPECT_EQ(0u, message.find(NoCatalog)) << message;
    EXPECT_EQ("<missing>", ReadTextFile(folder / L"comDB.reg"));

    WriteTextFile(folder / L"comDB.reg", "LAB COM+ REGDB 1\n");
    message = MessageOf<COMDatabaseException>([&] { COMDatabase::Restore(folder.Path()); });
    EXPECT_EQ(0u, message.find(NoCatalog)) << message;
}

// A missing file, a folder and a file far past the bound are refused by the hostile test; here,
// the bound itself.
TEST(COMDatabase, RestoreRefusesAFileOneBytePast256MiBBeforeTheCatalogAndTakesOneOfExactlyThat)
{
    const ComApartment apartment(COINIT_MULTITHREADED);
    ASSERT_TRUE(apartment);
    ScratchDirectory folder;
    const String file = folder / L"comDB.reg";
    for (const LONGLONG size : {256ll * 1024 * 1024 + 1, 256ll * 1024 * 1024})
    {
        UniqueFileHandle handle(CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(handle);
        LARGE_INTEGER end;
        end.QuadPart = size;
        ASSERT_TRUE(SetFilePointerEx(handle.get(), end, nullptr, FILE_BEGIN) && SetEndOfFile(handle.get()));
        handle.reset();
        const String message = MessageOf<COMDatabaseException>([&] { COMDatabase::Restore(folder.Path()); });
        if (size > 256ll * 1024 * 1024)
            EXPECT_EQ(file + L" is larger than 256 MiB, the most a COM+ database backup holds", message);
        else
            EXPECT_EQ(0u, message.find(NoCatalog)) << message;
    }
}
