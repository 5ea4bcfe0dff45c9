// Starting the client again, and waiting for the browser, with the real updater.
#include <gtest/gtest.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/platform.h"
#include "tests/support/updater_fixture.h"

namespace {

// A client that records that it ran, where, and in which session, and then runs on a while.
const char kRecordingClient[] =
    "#!/bin/sh\n"
    "exec >/dev/null 2>&1\n"
    "here=$(dirname \"$0\")\n"
    "pwd >\"$here/ran.tmp\"; cut -d' ' -f6 /proc/$$/stat >>\"$here/ran.tmp\"; mv \"$here/ran.tmp\" \"$here/ran\"\n"
    "sleep 2\n"
    "touch \"$here/finished\"\n";

bool WaitForPath(const std::string &path, double seconds)
{
    for (int waited = 0; waited < seconds * 100; ++waited) {
        if (PathExists(path))
            return true;
        usleep(10000);
    }
    return PathExists(path);
}

class Relaunch : public UpdaterFixture {
protected:
    void SetUp() override
    {
        UpdaterFixture::SetUp();
        WriteSettings(game);
        Install("Orvo.exe", kRecordingClient);
        chmod((game + "/Orvo.exe").c_str(), 0755);
    }
};

TEST_F(Relaunch, RestartStartsTheClientDetachedWithoutWaiting)
{
    ProgramResult result = RunUpdaterProgram({"-restart"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_LT(result.seconds, 1.5) << "the updater must not wait for the client";
    ASSERT_TRUE(WaitForPath(game + "/ran", 5));
    EXPECT_FALSE(PathExists(game + "/finished"));
    std::string record = ReadFile(game + "/ran");
    std::string folder = record.substr(0, record.find('\n'));
    long session = atol(record.substr(record.find('\n') + 1).c_str());
    EXPECT_EQ(folder, root) << "the client starts in the updater's current folder";
    EXPECT_NE(session, (long)getsid(0)) << "the client runs in a session of its own";
    EXPECT_TRUE(WaitForPath(game + "/finished", 5));
}

TEST_F(Relaunch, StartsTheNewlyInstalledClient)
{
    Install("Orvo.exe", "#!/bin/sh\necho old >\"$(dirname \"$0\")/ran\"\n");
    Stage("Orvo.exe.new", "#!/bin/sh\necho new >\"$(dirname \"$0\")/ran\"\n");
    chmod((staging + "/Orvo.exe.new").c_str(), 0755);
    WriteFileList({"Orvo.exe.new"});
    RunUpdaterProgram({"-restart"});
    ASSERT_TRUE(WaitForPath(game + "/ran", 5));
    usleep(100000);
    EXPECT_EQ(ReadFile(game + "/ran"), "new\n");
}

TEST_F(Relaunch, AnythingButAnExactFirstArgumentStartsNothing)
{
    const std::vector<std::vector<std::string>> argumentLists = {{},          {"-Restart"},      {"-restart "},
                                                                 {"restart"}, {"x", "-restart"}, {""}};
    for (const auto &arguments : argumentLists) {
        EXPECT_EQ(RunUpdaterProgram(arguments).exitCode, 0);
    }
    usleep(300000);
    EXPECT_FALSE(PathExists(game + "/ran"));
}

TEST(LaunchProgram, LeavesNoChildBehindAndIgnoresWhatCannotRun)
{
    std::string folder = MakeTempFolder();
    WriteFile(folder + "/plain.txt", "not executable");
    LaunchProgram((folder + "/plain.txt").c_str());
    LaunchProgram((folder + "/missing").c_str());
    LaunchProgram(folder.c_str());
    WriteFile(folder + "/run.sh", "#!/bin/sh\ntouch \"$(dirname \"$0\")/ran\"\n");
    chmod((folder + "/run.sh").c_str(), 0755);
    LaunchProgram((folder + "/run.sh").c_str());
    EXPECT_TRUE(WaitForPath(folder + "/ran", 5));
    // The detached program is not our child: nothing is left for us to reap.
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    RemoveTree(folder);
}

} // namespace
