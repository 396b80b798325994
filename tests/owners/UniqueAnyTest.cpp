// The rules every resource owner keeps: one owner at a time, the handle given
// back exactly once, and never a handle that means "none".

// Included first with no system header before it: only the template then,
// and no system header of its own.
#include "Owners.h"
#if defined(_WINBASE_) || defined(__BCRYPT_H__)
#error "Owners.h includes a system header: each file includes what it uses"
#endif

#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <type_traits>
#include <vector>

// Again after the system headers: their owners come with them.
#include <windows.h>
#include <bcrypt.h>

#include "Owners.h"
#include "Owners.h" // and nothing twice

static_assert(std::is_same<unique_handle::pointer, HANDLE>::value &&
                  std::is_same<unique_hkey::pointer, HKEY>::value &&
                  std::is_same<unique_hfont::pointer, HFONT>::value &&
                  std::is_same<unique_hwnd::pointer, HWND>::value &&
                  std::is_same<unique_bcrypt_hash::pointer, BCRYPT_HASH_HANDLE>::value,
              "each family of owners comes with its system header, included before or after the first include");

namespace
{
// Handles are numbers; 0 means none, and every close is written down.
std::vector<int> g_closed;

struct counted_traits
{
    using pointer = int;
    static pointer Invalid() { return 0; }
    static void Close(int h) { g_closed.push_back(h); }
};
using unique_counted = unique_any<counted_traits>;
} // namespace

TEST(UniqueAny, MovesResetsAndReleasesGiveEachHandleBackOnce)
{
    struct Case
    {
        const char* what;
        std::function<int()> run; // the value the owner holds at its end (+100 if an emptied one still holds)
        int value;
        std::vector<int> closed; // what was given back, in order, by the end of the case
    };
    const Case cases[] = {
        {"goes out of scope",
         [] {
             unique_counted a(1);
             return a.get();
         },
         1,
         {1}},
        {"empty owner",
         [] {
             unique_counted a;
             return static_cast<int>(static_cast<bool>(a));
         },
         0,
         {}},
        {"reset gives back the old one",
         [] {
             unique_counted a(1);
             a.reset(2);
             return a.get();
         },
         2,
         {1, 2}},
        {"release gives up ownership",
         [] {
             unique_counted a(1);
             return a.release() + (a ? 100 : 0);
         },
         1,
         {}},
        {"move construction leaves the source empty",
         [] {
             unique_counted a(1);
             unique_counted b(std::move(a));
             return b.get() + (a ? 100 : 0);
         },
         1,
         {1}},
        {"move assignment gives back the target's own",
         [] {
             unique_counted a(1), b(2);
             b = std::move(a);
             return b.get() + (a ? 100 : 0);
         },
         1,
         {2, 1}},
        {"self move keeps the handle",
         [] {
             unique_counted a(1);
             unique_counted& self = a;
             a = std::move(self);
             return a.get();
         },
         1,
         {1}},
        {"addressof gives back what was held before the call writes",
         [] {
             unique_counted a(1);
             *a.addressof() = 3;
             return a.get();
         },
         3,
         {1, 3}},
    };
    for (const Case& c : cases)
    {
        g_closed.clear();
        EXPECT_EQ(c.run(), c.value) << c.what;
        EXPECT_EQ(g_closed, c.closed) << c.what;
    }
    static_assert(!std::is_copy_constructible<unique_counted>::value, "owners are not copied");
    static_assert(!std::is_copy_assignable<unique_counted>::value, "owners are not copied");
}

TEST(UniqueComInit, AThreadIsInTheApartmentForTheScopeAndOnlyASuccessIsBalanced)
{
    std::thread([] {
        APTTYPE type{};
        APTTYPEQUALIFIER qualifier{};
        {
            const unique_com_init com(COINIT_MULTITHREADED);
            EXPECT_EQ(com.result(), S_OK);
            ASSERT_EQ(::CoGetApartmentType(&type, &qualifier), S_OK);
            EXPECT_EQ(type, APTTYPE_MTA);
            {
                // A second of another model fails, and uninitialises nothing.
                const unique_com_init other(COINIT_APARTMENTTHREADED);
                EXPECT_EQ(other.result(), RPC_E_CHANGED_MODE);
            }
            EXPECT_EQ(::CoGetApartmentType(&type, &qualifier), S_OK);
        }
        EXPECT_EQ(::CoGetApartmentType(&type, &qualifier), CO_E_NOTINITIALIZED);
    }).join();
}
