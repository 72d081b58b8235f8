#include <gtest/gtest.h>

#include "engine/port_context.h"

TEST(PortTable, RefusesIndexesOutsideTheTable) {
    EXPECT_EQ(ctx_Get(-1), nullptr);
    EXPECT_EQ(ctx_Get(16), nullptr);
    EXPECT_NE(ctx_Get(15), nullptr);
}
