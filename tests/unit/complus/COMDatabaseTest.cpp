// A machine without a COM+ catalog: every lab machine has one, so only here can its absence be
// seen failing both operations with the creation's code, and writing nothing.

#include "complus/COMDatabase.h"

#include "common/Exceptions.h"
#include "common/Handles.h"
#include "common/ScratchDirectory.h"

#include <gtest/gtest.h>

TEST(COMDatabase, WithoutACatalogBothOperationsFailWithTheCreationCode)
{
    const ComApartment apartment(COINIT_MULTITHREADED);
    ASSERT_TRUE(apartment);
    ScratchDirectory folder;
    for (auto operation : {&COMDatabase::Backup, &COMDatabase::Restore})
    {
        try
        {
            operation(folder.Path());
            ADD_FAILURE() << "no exception without a catalog";
        }
        catch (const COMDatabaseException& exception)
        {
            EXPECT_EQ(0u, exception.GetMessage().find(L"CoCreateInstance(CLSID_COMAdminCatalog) failed: Error = 0x80040154"))
                << exception.GetMessage();
        }
    }
    EXPECT_EQ("<missing>", ReadTextFile(folder / L"comDB.reg"));
}
