#include <gtest/gtest.h>

#include <thread>

#include "Seams.h"

namespace kvr {
namespace {

// A download on a thread of its own waits on its own clock; the program's
// clock and every other thread's stay as they were, and nested scopes give
// back what they found.
TEST(ThreadSeams, ReachOnlyTheirThreadAndNest) {
    FakeClock program, outer, inner;
    SetClock(&program);
    {
        ThreadSeams a(&outer, nullptr, nullptr);
        EXPECT_EQ(&CurrentClock(), &outer);
        Clock* seenElsewhere = nullptr;
        std::thread([&] { seenElsewhere = &CurrentClock(); }).join();
        EXPECT_EQ(seenElsewhere, &program);
        {
            ThreadSeams b(&inner, nullptr, nullptr);
            EXPECT_EQ(&CurrentClock(), &inner);
        }
        EXPECT_EQ(&CurrentClock(), &outer);
    }
    EXPECT_EQ(&CurrentClock(), &program);
    SetClock(nullptr);
}

}  // namespace
}  // namespace kvr
