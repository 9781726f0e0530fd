// The owners of Handles.h: the COM apartment is shown through the XML wrapper that enters one
// (XmlWrapperTest), the network share through the cluster backup in a lab machine (lab.cluster).

#include "handles/Handles.h"

#include <gtest/gtest.h>

#include <type_traits>
#include <vector>

namespace
{
    class Counted : public IUnknown
    {
    public:
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override
        {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
        ULONG STDMETHODCALLTYPE Release() override { return --references; }
        ULONG references = 1;
    };

    std::vector<void*> FreedBlocks;
    void WINAPI FreeBlock(void* block) { FreedBlocks.push_back(block); }
}

TEST(UniqueHandle, OwnersCloseOnceKeepTheLastErrorAndReleaseWholeBlocks)
{
    HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, raw);
    {
        UniqueKernelHandle owner(raw);
        UniqueKernelHandle moved(std::move(owner));
        EXPECT_FALSE(owner);
        EXPECT_EQ(raw, moved.get());
        SetLastError(ERROR_FILE_NOT_FOUND);
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(raw, 0));

    UniqueFileHandle file(CreateFileW(L"Z:\\no\\such\\dir\\file", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(file);

    void* block = VirtualAlloc(nullptr, 65536, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    ASSERT_NE(nullptr, block);
    UniqueVirtualMemory(block).reset();
    MEMORY_BASIC_INFORMATION information = {};
    ASSERT_NE(0u, VirtualQuery(block, &information, sizeof(information)));
    EXPECT_EQ(static_cast<DWORD>(MEM_FREE), information.State) << "the whole block is released";
}

TEST(UniqueVariant, HoldsItsOwnReferenceAndClearsOnceThroughMovesAndPut)
{
    Counted object;
    {
        UniqueVariant held = UniqueVariant::FromUnknown(&object);
        EXPECT_EQ(2u, object.references);
        UniqueVariant moved(std::move(held));
        EXPECT_EQ(VT_EMPTY, held.get().vt);
        EXPECT_EQ(2u, object.references);
        SetLastError(ERROR_FILE_NOT_FOUND);
        VARIANT* slot = moved.put();
        EXPECT_EQ(1u, object.references);
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
        EXPECT_EQ(VT_EMPTY, slot->vt);
        moved = UniqueVariant::FromUnknown(&object);
        EXPECT_EQ(2u, object.references);
    }
    EXPECT_EQ(1u, object.references);
}

TEST(UniqueLibraryBlock, AMovedBlockGoesBackToItsLibraryOnce)
{
    static_assert(!std::is_copy_constructible<UniqueLibraryBlock<wchar_t>>::value &&
                      !std::is_copy_assignable<UniqueLibraryBlock<wchar_t>>::value,
                  "a copy would give the block back twice");
    wchar_t first[] = L"first";
    wchar_t second[] = L"second";
    FreedBlocks.clear();
    {
        UniqueLibraryBlock<wchar_t> filled(FreeBlock);
        *filled.put() = first;
        UniqueLibraryBlock<wchar_t> moved(std::move(filled));
        EXPECT_EQ(nullptr, filled.get());
        EXPECT_EQ(first, moved.get());
        *moved.put() = second;
    }
    EXPECT_EQ((std::vector<void*>{first, second}), FreedBlocks);
}
