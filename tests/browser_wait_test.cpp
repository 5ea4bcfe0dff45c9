// The updater holds off while a browser window is open. Runs inside Xvfb (see CMakeLists).
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <thread>

#include "client/update_client.h"
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

// The client library's hand-over: the updater is started only once the browser window is gone,
// so that it never finds one and never shows its box; a window that stays starts nothing.
TEST_F(BrowserWait, TheHandOverStartsTheUpdaterOnlyOnceTheBrowserWindowIsGone)
{
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_DATA_HOME", (home + "/.local/share").c_str(), 1);
    std::string started = root + "/updater-started";
    std::string standIn = root + "/updater.sh";
    WriteFile(standIn, "#!/bin/sh\necho \"$(pwd) $1\" >\"" + started + ".part\"\nmv \"" + started + ".part\" \"" +
                           started + "\"\n");
    chmod(standIn.c_str(), 0755);
    for (bool windowStays : {false, true}) {
        SCOPED_TRACE(windowStays ? "the window stays" : "the window closes a moment later");
        std::string ready = root + "/window-ready";
        RemoveTree(ready);
        pid_t window = fork();
        if (window == 0) {
            execl(X11_WINDOW_PROGRAM, X11_WINDOW_PROGRAM, "OrvoBrowser", "Orvo", windowStays ? "600000" : "1500",
                  ready.c_str(), started.c_str(), (char *)nullptr);
            _exit(127);
        }
        for (int i = 0; i < 500 && !PathExists(ready); ++i)
            usleep(10000);
        ASSERT_TRUE(PathExists(ready)) << "the test window did not open";
        UpdateClientReport report;
        UpdateClientStatus status = UpdateClientHandOver(standIn.c_str(), 1, windowStays ? 300 : 60000, &report);
        if (windowStays) {
            EXPECT_EQ(status, UPDATE_CLIENT_BROWSER_STAYED) << report.reason;
            kill(window, SIGTERM);
            waitpid(window, nullptr, 0);
            EXPECT_FALSE(PathExists(started)) << "an updater was started while the browser stayed open";
            continue;
        }
        EXPECT_EQ(status, UPDATE_CLIENT_OK) << report.reason;
        waitpid(window, nullptr, 0);
        EXPECT_EQ(ReadFile(ready + ".watch"), "absent") << "the updater started while the browser was open";
        for (int i = 0; i < 1000 && !PathExists(started); ++i)
            usleep(10000);
        EXPECT_EQ(ReadFile(started), game + " -restart\n");
        RemoveTree(started);
    }
}

// Passes one X connection from `listener` on to the real display's socket `upstream`, and cuts
// it when the client sends its first InternAtom or QueryTree request: that comes from the look
// itself, after the display is open, so the connection is lost in the middle of the look.
void ServeOneCutConnection(int listener, std::string upstream)
{
    int client = accept(listener, nullptr, nullptr);
    int server = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", upstream.c_str());
    if (client < 0 || server < 0 || connect(server, (sockaddr *)&address, sizeof address) != 0) {
        close(client);
        close(server);
        return;
    }
    const unsigned char QUERY_TREE = 15;
    const unsigned char INTERN_ATOM = 16;
    std::string pending; // bytes from the client not yet passed on: at most one message
    bool setupSent = false;
    bool littleEndian = true;
    auto field16 = [&](size_t at) {
        unsigned char low = (unsigned char)pending[at + (littleEndian ? 0 : 1)];
        unsigned char high = (unsigned char)pending[at + (littleEndian ? 1 : 0)];
        return (size_t)(low | high << 8);
    };
    for (bool cut = false; !cut;) {
        pollfd ends[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        if (poll(ends, 2, 10000) <= 0)
            break;
        char buffer[4096];
        if (ends[1].revents != 0) {
            ssize_t got = read(server, buffer, sizeof buffer);
            if (got <= 0 || write(client, buffer, (size_t)got) != got)
                break;
        }
        if (ends[0].revents == 0)
            continue;
        ssize_t got = read(client, buffer, sizeof buffer);
        if (got <= 0)
            break;
        pending.append(buffer, (size_t)got);
        for (;;) { // pass on each complete message: the setup request, then requests
            size_t length = 0;
            if (!setupSent && pending.size() >= 12) {
                littleEndian = pending[0] == 'l';
                length = 12 + (field16(6) + 3) / 4 * 4 + (field16(8) + 3) / 4 * 4;
            } else if (setupSent && pending.size() >= 4) {
                unsigned char opcode = (unsigned char)pending[0];
                if (opcode == QUERY_TREE || opcode == INTERN_ATOM) {
                    cut = true;
                    break;
                }
                length = 4 * field16(2); // 0 would be a big request, which the look never sends
            }
            if (length == 0 || pending.size() < length)
                break;
            if (write(server, pending.data(), length) != (ssize_t)length) {
                cut = true;
                break;
            }
            pending.erase(0, length);
            setupSent = true;
        }
    }
    close(client);
    close(server);
}

// Xlib's default handler ends a process whose X connection is lost. The updater must go on:
// a lost connection counts as no window, and so, after a bounded time, does a server that
// accepts and never answers.
TEST_F(BrowserWait, ALostConnectionCountsAsNoWindow)
{
    const char *display = getenv("DISPLAY");
    ASSERT_TRUE(display != nullptr && display[0] == ':');
    std::string upstream = "/tmp/.X11-unix/X" + std::string(display + 1);
    int number = 500 + getpid() % 400;
    std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    unlink(path.c_str());
    ASSERT_EQ(bind(listener, (sockaddr *)&address, sizeof address), 0) << path;
    ASSERT_EQ(listen(listener, 4), 0);
    // The proxy's display number needs the real display's cookie, or the server refuses the
    // connection before any look.
    std::string copyCookie = "xauth list " + std::string(display) +
                             " | awk '{print $3}' | head -n 1 | xargs -r xauth add :" + std::to_string(number) +
                             " MIT-MAGIC-COOKIE-1";
    ASSERT_EQ(system(copyCookie.c_str()), 0);
    std::thread proxy(ServeOneCutConnection, listener, upstream);

    ProgramResult result = RunUpdaterProgram({}, {"DISPLAY=:" + std::to_string(number)});

    // Should the updater not connect at all, the proxy must still end.
    int wake = socket(AF_UNIX, SOCK_STREAM, 0);
    (void)connect(wake, (sockaddr *)&address, sizeof address);
    proxy.join();
    EXPECT_EQ(result.exitCode, 0) << "a lost X connection ended the updater";
    EXPECT_EQ(ReadFile(game + "/Data.pak"), "new");
    // The proxy gone, nothing accepts any more: connections wait in the backlog, unanswered.
    Stage("Data.paknew1", "newer");
    WriteFileList({"Data.paknew1"});
    ProgramResult unanswered = RunUpdaterProgram({}, {"DISPLAY=:" + std::to_string(number)});
    EXPECT_LT(unanswered.seconds, 15.0) << "the updater waited too long for a silent X server";
    EXPECT_EQ(ReadFile(game + "/Data.pak"), "newer");
    close(wake);
    close(listener);
    unlink(path.c_str());
}

} // namespace
