#include "CriticalSection.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <atomic>
#include <thread>

namespace
{
std::string ThrownText(void (CCriticalSection::*operation)(), CCriticalSection& section)
{
    try
    {
        (section.*operation)();
    }
    catch (const std::exception& e)
    {
        return e.what();
    }
    return "no exception";
}
} // namespace

TEST(CriticalSection, UseAfterDestroyThrowsWithTheOperationsName)
{
    CCriticalSection section;
    section.Destroy();
    EXPECT_EQ("CCriticalSection::Enter: not initialized", ThrownText(&CCriticalSection::Enter, section));
    EXPECT_EQ("CCriticalSection::Leave: not initialized", ThrownText(&CCriticalSection::Leave, section));

    section.Init();
    EXPECT_EQ("no exception", ThrownText(&CCriticalSection::Enter, section));
    section.Leave();
}

TEST(CriticalSection, IsReentrantForTheOwnerAndExcludesOtherThreads)
{
    CCriticalSection section;
    section.Init(); // a second Init does nothing
    std::atomic<int> entered{0};
    section.Enter();
    section.Enter();
    std::thread other([&] {
        CScopedLock lock(section);
        entered = 1;
    });
    section.Leave();
    Sleep(100);
    EXPECT_EQ(0, entered.load()) << "the lock was taken while its owner still held it once";
    section.Leave();
    other.join();
    EXPECT_EQ(1, entered.load());
}
