#include "updater/update_run.h"

#include <stdio.h>
#include <string.h>

#include "datafiles/file_list.h"
#include "datafiles/kdx_container.h"
#include "datafiles/path_buffer.h"
#include "datafiles/settings_record.h"
#include "platform/platform.h"
#include "updater/client_handover.h"
#include "updater/updater_state.h"

bool ReadRestartArgument(int argumentCount, char **arguments)
{
    return argumentCount > 1 && arguments[1] != NULL && strcmp(arguments[1], "-restart") == 0;
}

bool RunSettingsPhase()
{
    if (g_UpdaterState.AppDataPath[0] == '\0')
        return true;
    char settingsPath[PATH_BUFFER_SIZE];
    if (!ComposePath(settingsPath, sizeof settingsPath, g_UpdaterState.AppDataPath, "/Brackmoor Games/Settings.kdx",
                     ""))
        return true;
    FILE *settingsFile = OpenDataFile(settingsPath, false, NULL);
    if (settingsFile == NULL) {
        // Whatever lies at the name and cannot be read (a file held by a virus scanner, denied, a
        // link to such a file) is not a missing file: the game folder is unknown, not unset.
        PathInfo settings;
        InspectPath(settingsPath, &settings);
        return settings.kind == PATH_MISSING;
    }
    // A rejected file leaves GamePath empty, which the later phases notice themselves.
    KdxStatus status = LoadKdxFilePrefix(settingsFile, ApplySettings, SETTINGS_PAYLOAD_LIMIT);
    (void)fclose(settingsFile);
    return status != KDX_READ_FAILED;
}

int RunUpdater(int argumentCount, char **arguments)
{
    ResetUpdaterState();
    HardenProcess();
    g_UpdaterState.RestartClient = ReadRestartArgument(argumentCount, arguments) ? 1 : 0;

    // Before any file is opened: nothing may change while the browser runs.
    WaitForBrowser();

    // No folder leaves AppDataPath empty, and the data-file phases then do nothing.
    (void)GetUserDataFolder(g_UpdaterState.AppDataPath);
    // A settings file that cannot be read says so, and the list waits for a run that can.
    if (RunSettingsPhase())
        ProcessFileList(UPDATE_RUN_LOCK_WAIT_MS);
    else
        ReportMissingGameFolder();
    if (g_UpdaterState.RestartClient != 0)
        RelaunchClient();
    return 0;
}
