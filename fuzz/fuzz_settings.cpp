// Fuzz target: a settings file through the container loader and ApplySettings.
#include <string.h>

#include "datafiles/kdx_container.h"
#include "datafiles/settings_record.h"
#include "fuzz/fuzz_support.h"
#include "updater/updater_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ResetUpdaterState();
    FILE *file = OpenInputStream(data, size);
    if (file == NULL)
        return 0;
    KdxStatus status = LoadKdxFile(file, ApplySettings);
    fclose(file);
    if (memchr(g_UpdaterState.GamePath, 0, sizeof g_UpdaterState.GamePath) == NULL)
        FuzzFailure("GamePath is not terminated");
    if (status != KDX_OK && g_UpdaterState.GamePath[0] != '\0')
        FuzzFailure("a rejected file set GamePath");
    return 0;
}
