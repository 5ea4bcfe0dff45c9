// kdx settings: writes a settings file naming a game folder.
#include <stdio.h>

#include <string>
#include <vector>

#include "datafiles/kdx_writer.h"
#include "platform/platform.h"
#include "tools/kdx/kdx_tool.h"

int SettingsCommand(std::vector<std::string> arguments)
{
    std::string outputPath;
    if (!TakeOutputOption(&arguments, &outputPath))
        return UsageError("-o needs a FILE");
    if (arguments.empty() || arguments.size() > 2)
        return UsageError("settings takes GAME_FOLDER and an optional FIRST_STRING");
    std::string payload;
    if (!MakeSettingsPayload(arguments[0], arguments.size() == 2 ? arguments[1] : "", &payload))
        return UsageError("a string is longer than 65535 bytes");
    if (arguments[0].empty() || arguments[0].size() > 259)
        fprintf(stderr, "kdx: warning: the updater uses no game folder that is empty or over 259 bytes\n");
    else if (!IsAbsolutePath(arguments[0].c_str()))
        fprintf(stderr, "kdx: warning: the game folder is relative: the updater resolves it against the current "
                        "folder the client starts it in\n");
    return WriteDataFile(payload, outputPath);
}
