// The window's programs as Windows reads them: the icon "Z1" for Explorer,
// the taskbar and the Start menu, and the rights each asks for when it
// starts. The window reaches the disks itself, so it asks for an
// administrator; the demo asks for nothing.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ProgramResources, CarryTheIconAndAskForTheRightRights) {
    const struct {
        const char* exe;
        const char* level;
    } programs[] = {{ARDENVEL_WINDOW_EXE, R"(level="requireAdministrator")"},
                    {ARDENVEL_DEMO_EXE, R"(level="asInvoker")"}};
    for (const auto& p : programs) {
        SCOPED_TRACE(p.exe);
        const HMODULE exe = LoadLibraryExA(p.exe, nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(exe, nullptr) << GetLastError();
        EXPECT_NE(FindResourceA(exe, "Z1", MAKEINTRESOURCEA(14)), nullptr);  // RT_GROUP_ICON
        const HRSRC found = FindResourceA(exe, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
        ASSERT_NE(found, nullptr);
        const auto* text = static_cast<const char*>(LockResource(LoadResource(exe, found)));
        const std::string manifest(text, SizeofResource(exe, found));
        EXPECT_NE(manifest.find(p.level), std::string::npos) << manifest;
        FreeLibrary(exe);
    }
}

}  // namespace
