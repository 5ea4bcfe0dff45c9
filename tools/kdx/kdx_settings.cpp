// kdx settings: writes a settings file naming a game folder.
#include <stdio.h>

#include <string>
#include <vector>

#include "datafiles/kdx_writer.h"
#include "platform/platform.h"
#include "platform/spelling.h"
#include "tools/kdx/kdx_tool.h"

int SettingsCommand(std::vector<std::string> arguments)
{
    // "--short" is an option only before "--", which TakeOutputOption consumes.
    bool allowShortForm = false;
    for (size_t i = 0; i < arguments.size() && arguments[i] != "--"; ++i) {
        if (arguments[i] == "--short") {
            allowShortForm = true;
            arguments.erase(arguments.begin() + (long)i--);
        }
    }
    std::string outputPath;
    if (!TakeOutputOption(&arguments, &outputPath))
        return UsageError("-o needs a FILE");
    if (arguments.empty() || arguments.size() > 2)
        return UsageError("settings takes GAME_FOLDER and an optional FIRST_STRING");
    for (const std::string &argument : arguments) {
        if (argument.size() > 65535)
            return UsageError("a string is longer than 65535 bytes");
    }
    // The updater hands the folder's bytes to the system as they are: written as "?", or in a
    // best-fit stand-in, it would name another folder or none.
    std::string folder;
    SpellResult spelling = SpellText(arguments[0], allowShortForm, &folder);
    std::string shortForm;
    if (spelling == SPELLING_IMPOSSIBLE && !allowShortForm &&
        SpellText(arguments[0], true, &shortForm) != SPELLING_IMPOSSIBLE) {
        fprintf(stderr,
                "kdx: the game folder %s cannot be written in the code page the updater reads; its short form %s "
                "can: use --short to write that\n",
                Shown(arguments[0]).c_str(), Shown(shortForm).c_str());
        return 2;
    }
    if (spelling == SPELLING_IMPOSSIBLE) {
        fprintf(stderr,
                "kdx: the game folder %s cannot be written in the code page the updater reads, and it has no short "
                "form that can (it does not exist, or its volume keeps no short names)\n",
                Shown(arguments[0]).c_str());
        return 2;
    }
    if (spelling == SPELLED_SHORT_FORM)
        fprintf(stderr, "kdx: wrote the game folder's short form %s: the code page cannot write %s\n",
                Shown(folder).c_str(), Shown(arguments[0]).c_str());
    std::string firstString;
    if (arguments.size() == 2 && SpellText(arguments[1], false, &firstString) == SPELLING_IMPOSSIBLE) {
        fprintf(stderr, "kdx: FIRST_STRING %s cannot be written in the code page the updater reads\n",
                Shown(arguments[1]).c_str());
        return 2;
    }
    std::string payload;
    if (!MakeSettingsPayload(folder, firstString, &payload))
        return UsageError("a string is longer than 65535 bytes");
    if (folder.empty() || folder.size() > 259)
        fprintf(stderr, "kdx: warning: the updater uses no game folder that is empty or over 259 bytes\n");
    else if (!IsAbsolutePath(folder.c_str()))
        fprintf(stderr, "kdx: warning: the game folder is relative: the updater resolves it against the current "
                        "folder the client starts it in\n");
    return WriteDataFile(payload, outputPath);
}
