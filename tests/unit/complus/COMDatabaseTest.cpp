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

// A missing file, a folder and a file far past 256 MiB are refused by the hostile test; here, the
// bound itself, refused before the catalog is asked.
TEST(COMDatabase, WithoutACatalogBothOperationsFailWithTheCreationCodeAndTheSizeBoundComesFirst)
{
    const ComApartment apartment(COINIT_MULTITHREADED);
    ASSERT_TRUE(apartment);
    ScratchDirectory folder;
    const String file = folder / L"comDB.reg";
    EXPECT_EQ(0u, MessageOf<COMDatabaseException>([&] { COMDatabase::Backup(folder.Path()); }).find(NoCatalog));
    EXPECT_EQ("<missing>", ReadTextFile(file));

    for (const LONGLONG size : {256ll * 1024 * 1024 + 1, 256ll * 1024 * 1024})
    {
        UniqueFileHandle handle(CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        LARGE_INTEGER end;
        end.QuadPart = size;
        ASSERT_TRUE(handle && SetFilePointerEx(handle.get(), end, nullptr, FILE_BEGIN) && SetEndOfFile(handle.get()));
        handle.reset();
        const String message = MessageOf<COMDatabaseException>([&] { COMDatabase::Restore(folder.Path()); });
        if (size > 256ll * 1024 * 1024)
            EXPECT_EQ(file + L" is larger than 256 MiB, the most a COM+ database backup holds", message);
        else
            EXPECT_EQ(0u, message.find(NoCatalog)) << message;
    }
}
