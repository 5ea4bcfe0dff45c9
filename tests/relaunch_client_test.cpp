// RelaunchClient's choice of program. The launch itself is replaced here (this executable's
// LaunchProgram is linked instead of the platform's), since the path it would start with no
// game folder, "/Orvo.exe", lies outside anything a test may create.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "updater/client_handover.h"
#include "updater/updater_state.h"

static std::vector<std::string> g_launched;

void LaunchProgram(const char *path)
{
    g_launched.push_back(path);
}

namespace {

TEST(RelaunchClient, StartsTheGameFoldersClientAndNothingWithoutAGameFolder)
{
    const struct {
        std::string gamePath;
        std::vector<std::string> launched;
    } cases[] = {
        {"", {}},
        {"/games/orvo", {"/games/orvo/Orvo.exe"}},
        {"C:\\Games\\Orvo", {"C:\\Games\\Orvo/Orvo.exe"}},
        {std::string(259, 'g'), {std::string(259, 'g') + "/Orvo.exe"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.gamePath);
        ResetUpdaterState();
        c.gamePath.copy(g_UpdaterState.GamePath, sizeof g_UpdaterState.GamePath - 1);
        g_launched.clear();
        RelaunchClient();
        EXPECT_EQ(g_launched, c.launched);
    }
}

} // namespace
