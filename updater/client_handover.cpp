#include "updater/client_handover.h"

#include "datafiles/path_buffer.h"
#include "platform/platform.h"
#include "updater/updater_state.h"

static const char BROWSER_WINDOW_CLASS[] = "OrvoBrowser";
static const char WAIT_TEXT[] = "Waiting for the browser to exit";
static const char WAIT_CAPTION[] = "Waiting...";
static const unsigned FIRST_LOOK_DELAY_MS = 500;
static const unsigned NEXT_LOOK_DELAY_MS = 5;

void WaitForBrowser()
{
    PauseMilliseconds(FIRST_LOOK_DELAY_MS);
    while (TopLevelWindowExists(BROWSER_WINDOW_CLASS)) {
        ShowMessageBox(WAIT_TEXT, WAIT_CAPTION);
        PauseMilliseconds(NEXT_LOOK_DELAY_MS);
    }
}

void RelaunchClient()
{
    if (g_UpdaterState.GamePath[0] == '\0')
        return;
    char clientPath[PATH_BUFFER_SIZE];
    // GamePath holds at most 259 characters, so the client's path always fits.
    if (ComposePath(clientPath, sizeof clientPath, g_UpdaterState.GamePath, "/Orvo.exe", ""))
        LaunchProgram(clientPath);
}
