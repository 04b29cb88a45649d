// Runs as Windows code (under Wine on Linux): the host's own calls that need
// no drive, the device-change window and the clock's formats.
#include <gtest/gtest.h>

// windows.h first: dbt.h builds on its types.
#include <windows.h>

#include <dbt.h>

#include <atomic>

#include "hosts/SystemClock.h"
#include "hosts/win32/Win32Host.h"

namespace ardenvel {
namespace {

TEST(Win32DeviceNotices, TheSystemsBroadcastsReachTheHandler) {
    win32::Win32Host host;
    std::atomic<int> notices{0};
    host.setDeviceChangeHandler([&] { ++notices; });

    // What Windows sends every top-level window when a volume or a device
    // node comes or goes, USB or not.
    DWORD_PTR answer = 0;
    SendMessageTimeoutA(HWND_BROADCAST, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0, SMTO_ABORTIFHUNG, 5000,
                        &answer);
    EXPECT_EQ(notices.load(), 1);

    // A handler taken away hears nothing more; the host still ends cleanly.
    host.setDeviceChangeHandler({});
    SendMessageTimeoutA(HWND_BROADCAST, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0, SMTO_ABORTIFHUNG, 5000,
                        &answer);
    EXPECT_EQ(notices.load(), 1);
}

TEST(Win32Clock, DatesAndTimesFollowTheUsersFormats) {
    if (GetUserDefaultLCID() != 0x0409) GTEST_SKIP() << "checked against the formats of English (US)";
    SystemClock clock;
    const LocalTime t{2026, 12, 9, 5, 4, 3};
    // M/d/yyyy and h:mm:ss tt; the C runtime's defaults would give 12/09/26
    // and 05:04:03.
    EXPECT_EQ(clock.shortDate(t), "12/9/2026");
    EXPECT_EQ(clock.longTime(t), "5:04:03 AM");
    EXPECT_EQ(formatDateTime(clock, t), "12/9/2026 5:04:03 AM");
}

}  // namespace
}  // namespace ardenvel
