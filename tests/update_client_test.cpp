// The client library's refusals, each leaving the staging folder without a list, and what the
// restarted client reads. The library is run in this process, for a throw-away user.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "client/update_client.h"
#include "tests/support/updater_fixture.h"

namespace {

class UpdateClient : public UpdaterFixture {
protected:
    void SetUp() override
    {
        UpdaterFixture::SetUp();
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_DATA_HOME", (home + "/.local/share").c_str(), 1);
        UpdateClientReport report;
        ASSERT_EQ(UpdateClientWriteSettings(game.c_str(), "player", &report), UPDATE_CLIENT_OK) << report.reason;
    }
    UpdateClientReport report;
};

TEST_F(UpdateClient, RefusesNamesTheUpdaterWouldRefuseAndWritesNothing)
{
    const char *const names[] = {
        "/Data.pak.new",  "../Data.pak.new", "Maps/../../x.pak.new", ".~upd-Data.pak.new", "Maps/.new",
        "Data:x.pak.new", "CON.new",         "Maps//Data.pak.new"};
    WriteFile(root + "/download", "content");
    for (const char *name : names) {
        SCOPED_TRACE(name);
        EXPECT_EQ(UpdateClientStageFile(name, (root + "/download").c_str(), &report), UPDATE_CLIENT_NAME_REFUSED);
        EXPECT_NE(report.entryVerdict, 0);
        UpdateClientEntry entry = {name, 7};
        EXPECT_EQ(UpdateClientCommit(&entry, 1, &report), UPDATE_CLIENT_NAME_REFUSED);
    }
    EXPECT_TRUE(SnapshotTree(staging).empty()) << "nothing may be staged or listed";
    // A download still being written is not staged cut short.
    FILE *download = fopen((root + "/download").c_str(), "ab");
    ASSERT_NE(download, nullptr);
    EXPECT_EQ(UpdateClientStageFile("Data.pak.new", (root + "/download").c_str(), &report),
              UPDATE_CLIENT_STILL_BEING_WRITTEN);
    fclose(download);
    EXPECT_FALSE(PathExists(staging + "/Data.pak.new"));
}

TEST_F(UpdateClient, ACommitThatWouldTearOrLoseAnUpdateIsRefused)
{
    WriteFile(root + "/download", "whole download");
    ASSERT_EQ(UpdateClientStageFile("Data.pak.new", (root + "/download").c_str(), &report), UPDATE_CLIENT_OK)
        << report.reason;
    std::vector<std::string> many;
    for (int i = 0; i < 256; ++i)
        many.push_back("File" + std::to_string(i) + ".new");
    std::vector<UpdateClientEntry> manyEntries;
    for (const std::string &name : many)
        manyEntries.push_back({name.c_str(), 1});
    UpdateClientEntry wrongSize = {"Data.pak.new", 13};
    UpdateClientEntry missing = {"Missing.pak.new", 1};

    EXPECT_EQ(UpdateClientCommit(manyEntries.data(), manyEntries.size(), &report), UPDATE_CLIENT_TOO_MANY_FILES);
    EXPECT_EQ(UpdateClientCommit(&wrongSize, 1, &report), UPDATE_CLIENT_SIZE_DIFFERS);
    EXPECT_EQ(UpdateClientCommit(&missing, 1, &report), UPDATE_CLIENT_STAGED_FILE_UNUSABLE);
    // A download still being written (here appended to by this process) would install cut short.
    FILE *download = fopen((staging + "/Data.pak.new").c_str(), "ab");
    ASSERT_NE(download, nullptr);
    UpdateClientEntry whole = {"Data.pak.new", 14};
    EXPECT_EQ(UpdateClientCommit(&whole, 1, &report), UPDATE_CLIENT_STILL_BEING_WRITTEN) << report.reason;
    EXPECT_STREQ(report.name, "Data.pak.new");
    EXPECT_FALSE(PathExists(fileList));
    fclose(download);
    // Without a game folder the updater would delete the list and orphan the staged files.
    RemoveTree(brackmoor + "/Settings.kdx");
    EXPECT_EQ(UpdateClientCommit(&whole, 1, &report), UPDATE_CLIENT_NO_GAME_FOLDER);
    EXPECT_FALSE(PathExists(fileList));
    EXPECT_EQ(UpdateClientWriteSettings("relative/game", NULL, &report), UPDATE_CLIENT_FOLDER_REFUSED);
    EXPECT_FALSE(PathExists(brackmoor + "/Settings.kdx"));

    ASSERT_EQ(UpdateClientWriteSettings(game.c_str(), NULL, &report), UPDATE_CLIENT_OK);
    ASSERT_EQ(UpdateClientCommit(&whole, 1, &report), UPDATE_CLIENT_OK) << report.reason;
    UpdateClientOutcome outcome;
    ASSERT_EQ(UpdateClientReadOutcome(&outcome, &report), UPDATE_CLIENT_OK);
    EXPECT_EQ(outcome.state, UPDATE_CLIENT_LIST_WAITING);
    EXPECT_EQ(RunUpdaterProgram().exitCode, 0);
    EXPECT_EQ(ReadFile(game + "/Data.pak"), "whole download");
    ASSERT_EQ(UpdateClientReadOutcome(&outcome, &report), UPDATE_CLIENT_OK);
    EXPECT_EQ(outcome.state, UPDATE_CLIENT_APPLIED);
}

TEST_F(UpdateClient, InstallNowLeavesAFileInUseStagedAndTellsWhatIsLeft)
{
    Install("Data.pak", "old");
    Stage("Data.pak.new", "new");
    FILE *writer = fopen((staging + "/Data.pak.new").c_str(), "ab");
    ASSERT_NE(writer, nullptr);
    EXPECT_EQ(UpdateClientInstallNow("Data.pak.new", 1000, &report), UPDATE_CLIENT_IN_USE) << report.reason;
    EXPECT_EQ(ReadFile(game + "/Data.pak"), "old");
    fclose(writer);
    MakeFolders(staging + "/Maps");
    Stage("Maps/Harbour.map.new", "map"); // its folder in the game folder is new
    ASSERT_EQ(UpdateClientInstallNow("Maps/Harbour.map.new", 1000, &report), UPDATE_CLIENT_OK) << report.reason;
    EXPECT_EQ(ReadFile(game + "/Maps/Harbour.map"), "map");

    UpdateClientOutcome outcome;
    ASSERT_EQ(UpdateClientReadOutcome(&outcome, &report), UPDATE_CLIENT_OK);
    EXPECT_EQ(outcome.state, UPDATE_CLIENT_FILES_LEFT);
    ASSERT_EQ(outcome.leftCount, 1u);
    EXPECT_STREQ(outcome.left[0].stagedName, "Data.pak.new");
    EXPECT_EQ(outcome.left[0].moveVerdict, 1) << "a move would replace the installed file";
    // A staging folder moved away and made anew between two calls is reached afresh.
    ASSERT_EQ(rename(staging.c_str(), (root + "/old-staging").c_str()), 0);
    MakeFolders(staging);
    Stage("Data.pak.new", "newer");
    ASSERT_EQ(UpdateClientInstallNow("Data.pak.new", 1000, &report), UPDATE_CLIENT_OK) << report.reason;
    EXPECT_EQ(ReadFile(game + "/Data.pak"), "newer");
    ASSERT_EQ(UpdateClientReadOutcome(&outcome, &report), UPDATE_CLIENT_OK);
    EXPECT_EQ(outcome.state, UPDATE_CLIENT_APPLIED);
    // A file a killed move left under its reserved name is left, not applied.
    WriteFile(staging + "/.~upd-staged~Data.pak.new", "killed");
    ASSERT_EQ(UpdateClientReadOutcome(&outcome, &report), UPDATE_CLIENT_OK);
    EXPECT_EQ(outcome.state, UPDATE_CLIENT_FILES_LEFT);
}

} // namespace
