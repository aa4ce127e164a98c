#pragma once
// A guided run started from an earlier result of the same pair.

#include <cstddef>

#include <gtest/gtest.h>

#include <morvex/guided.hpp>

namespace morvex::test {

/// `again`, started from `first` on the same pair, keeps every point valid, lands within
/// `tolerance` px of the same u, v and spends fewer iterations in all.
inline void expect_restart_converges_sooner(const dic::GuidedResult& first,
                                            const dic::GuidedResult& again, double tolerance) {
    long it_first = 0, it_again = 0;
    for (std::size_t i = 0; i < first.u.size(); ++i) {
        ASSERT_EQ(again.valid[i], 1) << "point " << i;
        EXPECT_NEAR(again.u[i], first.u[i], tolerance) << "point " << i;
        EXPECT_NEAR(again.v[i], first.v[i], tolerance) << "point " << i;
        it_first += first.iterations[i];
        it_again += again.iterations[i];
    }
    EXPECT_LT(it_again, it_first);
}

}  // namespace morvex::test
