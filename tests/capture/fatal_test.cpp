// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/fatal.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

TEST(FatalError, ExitStatusIsNeverSuccess) {
    EXPECT_EQ(error_status(3), 3);
    EXPECT_EQ(error_status(-9996) & 0xff, (-9996) & 0xff);
    EXPECT_EQ(error_status(-9984), 1); // low 8 bits are zero
    EXPECT_EQ(error_status(256), 1);
    EXPECT_EQ(error_status(0), 1);
}

TEST(FatalError, WritesOneLineAndExitsInAChild) {
    using ::testing::ExitedWithCode;
    using ::testing::StrEq;
    EXPECT_EXIT(error("PortAudio error: ", "Device unavailable", -9985),
                ExitedWithCode(-9985 & 0xff), StrEq("PortAudio error: Device unavailable\n"));
    EXPECT_EXIT(error("PortAudio error: ", "Not initialized", -10000),
                ExitedWithCode(-10000 & 0xff), StrEq("PortAudio error: Not initialized\n"));
    EXPECT_EXIT(error("PortAudio error: ", "Unanticipated host error", -9984), ExitedWithCode(1),
                StrEq("PortAudio error: Unanticipated host error\n"));
}

} // namespace
