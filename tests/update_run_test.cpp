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

TEST_F(UpdateRun, ReadsEveryKindOfSettingsFileWithoutChangingIt)
{
    const std::string settingsFiles[] = {
        KdxFile(SettingsPayload(game, "player")),
        KdxFile(SettingsPayload(game), 1, 1),
        KdxFile(SettingsPayload(game), 2, 0),
        KdxFile(SettingsPayload(std::string(300, 'x'))),
        KdxFile(LenString("cut") + "\x10"),
        "\xFF\xFE"
        "KDX",
        "",
    };
    for (const std::string &settings : settingsFiles) {
        WriteFile(brackmoor + "/Settings.kdx", settings);
        auto before = SnapshotTree(root);
        ProgramResult result = RunUpdaterProgram();
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(SnapshotTree(root), before);
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
