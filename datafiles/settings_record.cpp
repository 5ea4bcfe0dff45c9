#include "datafiles/settings_record.h"

#include <string.h>

#include "updater/updater_state.h"

bool ReadSettingsRecord(const unsigned char *payload, size_t length, LenStringView *firstString,
                        LenStringView *gameFolder)
{
    ByteReader reader = MakeByteReader(payload, length);
    return ReadLenString(&reader, firstString) && ReadLenString(&reader, gameFolder);
}

bool TakeGameFolder(const LenStringView *gameFolder, char folder[260])
{
    memset(folder, 0, 260);
    if (gameFolder->textLength > 259)
        return false;
    memcpy(folder, gameFolder->bytes, gameFolder->textLength);
    return true;
}

void ApplySettings(const unsigned char *payload, size_t length)
{
    LenStringView firstString;
    LenStringView gameFolder;
    if (!ReadSettingsRecord(payload, length, &firstString, &gameFolder)) {
        memset(g_UpdaterState.GamePath, 0, sizeof g_UpdaterState.GamePath);
        return;
    }
    (void)TakeGameFolder(&gameFolder, g_UpdaterState.GamePath);
}
