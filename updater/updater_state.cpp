#include "updater/updater_state.h"

#include <string.h>

UpdaterState g_UpdaterState;

void ResetUpdaterState()
{
    memset(&g_UpdaterState, 0, sizeof g_UpdaterState);
}
