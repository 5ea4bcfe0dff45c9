// The updater holds off while a browser window is open. Runs inside Xvfb (see CMakeLists).
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/updater_fixture.h"

namespace {

class BrowserWait : public UpdaterFixture {
protected:
    void SetUp() override
    {
        if (getenv("DISPLAY") == nullptr)
            GTEST_SKIP() << "needs an X display (run under xvfb-run)";
        UpdaterFixture::SetUp();
        WriteSettings(game);
        Install("Data.pak", "old");
        Stage("Data.paknew1", "new");
        WriteFileList({"Data.paknew1"});
    }

    // Opens a window for `milliseconds` and runs the updater while it is open.
    ProgramResult RunWithWindow(const std::string &windowClass, const std::string &title, int milliseconds)
    {
        std::string ready = root + "/window-ready";
        pid_t window = fork();
        if (window == 0) {
            execl(X11_WINDOW_PROGRAM, X11_WINDOW_PROGRAM, windowClass.c_str(), title.c_str(),
                  std::to_string(milliseconds).c_str(), ready.c_str(), (staging + "/Data.paknew1").c_str(),
                  (char *)nullptr);
            _exit(127);
        }
        for (int i = 0; i < 500 && !PathExists(ready); ++i)
            usleep(10000);
        EXPECT_TRUE(PathExists(ready)) << "the test window did not open";
        ProgramResult result = RunUpdaterProgram({}, {std::string("DISPLAY=") + getenv("DISPLAY")});
        int status = 0;
        waitpid(window, &status, 0);
        windowSawStagedFile = ReadFile(ready + ".watch") == "present";
        return result;
    }
    bool windowSawStagedFile = false;
};

TEST_F(BrowserWait, HoldsEveryFileUntilTheBrowserWindowCloses)
{
    // The class in any case; then the layouts of window managers: a frame; a frame and a wrapper
    // with WM_STATE on the client; a client found only in _NET_CLIENT_LIST.
    const std::pair<const char *, const char *> cases[] = {{"OrvoBrowser", ""},
                                                           {"orvobrowser", ""},
                                                           {"OrvoBrowser", "framed"},
                                                           {"OrvoBrowser", "nested"},
                                                           {"OrvoBrowser", "listed"}};
    for (const auto &windowCase : cases) {
        const char *windowClass = windowCase.first;
        SCOPED_TRACE(std::string(windowClass) + " " + windowCase.second);
        setenv("X11_WINDOW_LAYOUT", windowCase.second, 1);
        Stage("Data.paknew1", "new");
        WriteFileList({"Data.paknew1"});
        ProgramResult result = RunWithWindow(windowClass, "Orvo", 2000);
        // The window closes 2 s after it was seen open; without the wait the run takes 0.5 s.
        EXPECT_GE(result.seconds, 1.9) << "the updater went on while the browser was open";
        EXPECT_TRUE(windowSawStagedFile) << "a staged file moved while the browser was open";
        EXPECT_EQ(ReadFile(game + "/Data.pak"), "new");
        EXPECT_EQ(result.exitCode, 0);
    }
}

TEST_F(BrowserWait, AWindowOfAnotherClassDoesNotHoldTheRun)
{
    ProgramResult result = RunWithWindow("OrvoChat", "OrvoBrowser", 2500);
    EXPECT_LT(result.seconds, 1.5);
    EXPECT_GE(result.seconds, 0.5) << "the first look comes after a 500 ms pause";
    EXPECT_EQ(ReadFile(game + "/Data.pak"), "new");
}

} // namespace
