// Runs of the real updater program against a throw-away user's folders.
#include <gtest/gtest.h>

#include "tests/support/updater_fixture.h"
#include "updater/update_run.h"

namespace {

class UpdateRun : public UpdaterFixture {};

TEST(RestartArgument, OnlyAnExactFirstArgumentCounts)
{
    struct {
        std::vector<const char *> arguments;
        bool restart;
    } cases[] = {
        {{"updater"}, false},
        {{"updater", "-restart"}, true},
        {{"updater", "-restart", "extra"}, true},
        {{"updater", "-Restart"}, false},
        {{"updater", "-restart "}, false},
        {{"updater", "restart"}, false},
        {{"updater", "-restar"}, false},
        {{"updater", "--restart"}, false},
        {{"updater", ""}, false},
        {{"updater", "x", "-restart"}, false},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.arguments.size() > 1 ? c.arguments[1] : "(none)");
        EXPECT_EQ(ReadRestartArgument((int)c.arguments.size(), const_cast<char **>(c.arguments.data())), c.restart);
    }
    EXPECT_FALSE(ReadRestartArgument(0, nullptr));
}

TEST_F(UpdateRun, ExitsZeroAndTouchesNothingWithoutDataFiles)
{
    Install("Orvo.exe", "client");
    auto before = SnapshotTree(root);
    ProgramResult result = RunUpdaterProgram({"-restart"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(SnapshotTree(root), before);
}

// Which game folder a settings file gives is seen from where a staged file goes: into that
// folder, or nowhere, with the missing-folder message.
TEST_F(UpdateRun, ReadsEveryKindOfSettingsFileWithoutChangingIt)
{
    const std::string elsewhere = root + "/elsewhere";
    MakeFolders(elsewhere);
    const struct {
        std::string settings;
        std::string gameFolder; // empty: none
    } cases[] = {
        {KdxFile(SettingsPayload(elsewhere, "player")), elsewhere},
        {KdxFile(SettingsPayload(elsewhere), 1, 1), elsewhere},
        {KdxFile(SettingsPayload(elsewhere + std::string("\0junk", 5))), elsewhere},
        {KdxFile(SettingsPayload(elsewhere), 2, 0), ""},
        {KdxFile(SettingsPayload(std::string(300, 'x'))), ""},
        {KdxFile(LenString("cut") + "\x10"), ""},
        {"\xFF\xFE"
         "KDX",
         ""},
        {"", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.gameFolder.empty() ? "no game folder" : "a game folder");
        WriteFile(brackmoor + "/Settings.kdx", c.settings);
        Stage("Probe.datNEW1", "probe");
        WriteFileList({"Probe.datNEW1"});
        ProgramResult result = RunUpdaterProgram();
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(ReadFile(brackmoor + "/Settings.kdx"), c.settings) << "the settings file was changed";
        if (c.gameFolder.empty()) {
            EXPECT_EQ(result.output, "Error: No Dunmark Path Set.\n");
            EXPECT_EQ(ReadFile(staging + "/Probe.datNEW1"), "probe");
        } else {
            EXPECT_EQ(result.output, "");
            EXPECT_EQ(ReadFile(c.gameFolder + "/Probe.dat"), "probe");
            RemoveTree(c.gameFolder + "/Probe.dat");
        }
        EXPECT_FALSE(PathExists(game + "/Probe.dat"));
    }
}

TEST_F(UpdateRun, ExitsZeroWithoutAnyPerUserFolder)
{
    WriteSettings(game);
    auto before = SnapshotTree(root);
    const std::vector<std::vector<std::string>> environments = {
        {"HOME", "XDG_DATA_HOME"},
        {"HOME=", "XDG_DATA_HOME=relative/data"},
        {"HOME=/" + std::string(260, 'h')},
    };
    for (const auto &environment : environments) {
        ProgramResult result = RunUpdaterProgram({}, environment);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.output, "");
    }
    EXPECT_EQ(SnapshotTree(root), before);
}

} // namespace
