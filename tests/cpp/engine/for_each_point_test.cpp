#include <atomic>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "engine/for_each_point.h"

namespace morvex::dic::detail {
namespace {

// Both thread modes: the loop must behave the same on one thread and on many.
class ForEachPoint : public ::testing::TestWithParam<bool> {};

TEST_P(ForEachPoint, VisitsEveryPointOnceAndReportsEach) {
    constexpr int kCount = 500;
    std::vector<int> visits(kCount, 0);
    const std::atomic<bool> cancel{false};
    int reports = 0;
    for_each_point_with(
        kCount, GetParam(), cancel, [&]() { return [&visits](int i) { ++visits[static_cast<std::size_t>(i)]; }; },
        [&reports]() { ++reports; });
    for (int v : visits) ASSERT_EQ(v, 1);
    EXPECT_EQ(reports, kCount);
}

TEST_P(ForEachPoint, FirstExceptionReachesTheCaller) {
    const std::atomic<bool> cancel{false};
    EXPECT_THROW(for_each_point(300, GetParam(), cancel,
                                [](int i) {
                                    if (i % 7 == 3) throw std::domain_error("point");
                                }),
                 std::domain_error);
}

TEST_P(ForEachPoint, ThrowingProgressReachesTheCaller) {
    const std::atomic<bool> cancel{false};
    EXPECT_THROW(for_each_point_with(
                     300, GetParam(), cancel, []() { return [](int) {}; },
                     []() { throw std::range_error("progress"); }),
                 std::range_error);
}

TEST_P(ForEachPoint, CancelledLoopSkipsEveryPoint) {
    const std::atomic<bool> cancel{true};
    int visited = 0;
    for_each_point(300, GetParam(), cancel, [&visited](int) {
#pragma omp atomic
        ++visited;
    });
    EXPECT_EQ(visited, 0);
}

TEST_P(ForEachPoint, EmptyLoopDoesNothing) {
    const std::atomic<bool> cancel{false};
    bool called = false;
    for_each_point(0, GetParam(), cancel, [&called](int) { called = true; });
    EXPECT_FALSE(called);
}

INSTANTIATE_TEST_SUITE_P(Threads, ForEachPoint, ::testing::Values(false, true));

}  // namespace
}  // namespace morvex::dic::detail
