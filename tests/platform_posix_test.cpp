#include "platform/platform.h"

#include <chrono>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string>

namespace {

struct FolderCase {
    const char *what;
    const char *xdgDataHome; // nullptr: unset
    const char *home;        // nullptr: unset
    std::string folder;
};

TEST(UserDataFolder, FollowsXdgThenHomeAndNeverCuts)
{
    const std::string home246 = "/" + std::string(245, 'h'); // + "/.local/share" = 259
    const std::string home247 = "/" + std::string(246, 'h'); // 260: refused
    const std::string xdg259 = "/" + std::string(258, 'x');
    const std::string xdg260 = "/" + std::string(259, 'x');
    const FolderCase cases[] = {
        {"absolute XDG_DATA_HOME wins", "/data/me", "/home/me", "/data/me"},
        {"relative XDG_DATA_HOME is ignored", "data/me", "/home/me", "/home/me/.local/share"},
        {"empty XDG_DATA_HOME is ignored", "", "/home/me", "/home/me/.local/share"},
        {"HOME alone", nullptr, "/home/me", "/home/me/.local/share"},
        {"neither set", nullptr, nullptr, ""},
        {"empty HOME", nullptr, "", ""},
        {"HOME fitting exactly", nullptr, home246.c_str(), home246 + "/.local/share"},
        {"HOME one too long", nullptr, home247.c_str(), ""},
        {"XDG_DATA_HOME of 259 characters", xdg259.c_str(), nullptr, xdg259},
        {"XDG_DATA_HOME of 260 characters", xdg260.c_str(), "/home/me", ""},
    };
    for (const FolderCase &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.xdgDataHome != nullptr)
            setenv("XDG_DATA_HOME", c.xdgDataHome, 1);
        else
            unsetenv("XDG_DATA_HOME");
        if (c.home != nullptr)
            setenv("HOME", c.home, 1);
        else
            unsetenv("HOME");
        char folder[PLATFORM_FOLDER_SIZE];
        memset(folder, 'z', sizeof folder);
        bool found = GetUserDataFolder(folder);
        EXPECT_EQ(std::string(folder), c.folder);
        EXPECT_EQ(found, !c.folder.empty());
        EXPECT_EQ(folder[PLATFORM_FOLDER_SIZE - 1], '\0');
    }
}

TEST(Pause, LastsAtLeastTheTimeAsked)
{
    auto started = std::chrono::steady_clock::now();
    PauseMilliseconds(120);
    double elapsed = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    EXPECT_GE(elapsed, 120.0);
    EXPECT_LT(elapsed, 1000.0);
}

} // namespace
