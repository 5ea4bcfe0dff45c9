// kdx: reads and writes the updater's data files, for the client's developers and support.
//   kdx dump [--as settings|filelist] [--data-folder DIR] [--game-folder DIR] FILE
//   kdx settings GAME_FOLDER [FIRST_STRING] [-o FILE]
//   kdx filelist NAME... [-o FILE]
//   kdx filelist --from FOLDER [-o FILE]
//   kdx plan [--data-folder DIR]
// Exit status: 0 done (plan: every entry would install); 1 the container was rejected (dump),
// or some entry would not install (plan); 2 bad arguments or unreadable file.
#include <stdio.h>

#include <string>
#include <vector>

#include "tools/kdx/kdx_tool.h"

static const char USAGE[] = "usage: kdx dump [--as settings|filelist] [--data-folder DIR] [--game-folder DIR] FILE\n"
                            "       kdx settings GAME_FOLDER [FIRST_STRING] [-o FILE]\n"
                            "       kdx filelist NAME... [-o FILE]\n"
                            "       kdx filelist --from FOLDER [-o FILE]\n"
                            "       kdx plan [--data-folder DIR]\n"
                            "\n"
                            "dump      shows a data file's container status and its record as the updater reads it;\n"
                            "          for a file list, what each entry installs as or why it is refused. The kind\n"
                            "          is taken from the file name (Settings.kdx, FileList.kdx) unless --as says it.\n"
                            "          Path limits are checked against --data-folder (the per-user data folder) and\n"
                            "          --game-folder; both are empty unless given.\n"
                            "settings  writes a settings file naming GAME_FOLDER (standard output, or -o FILE).\n"
                            "filelist  writes a file list of the staged NAMEs, each with its four-byte suffix; with\n"
                            "          --from, of every regular file below FOLDER (refused, exit 2, when one would\n"
                            "          be refused by the updater, is not a regular file, or there are over 255).\n"
                            "plan      reads the settings file and the file list of the per-user data folder (or DIR)\n"
                            "          as the updater would and shows what it would do with each entry, changing\n"
                            "          nothing. Exit status 1 when some entry would not install. With no file list,\n"
                            "          what an earlier run left behind (exit status 1 when something is left).\n";

int UsageError(const char *message)
{
    fprintf(stderr, "kdx: %s\n\n%s", message, USAGE);
    return 2;
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return UsageError("no command given");
    std::string command = argv[1];
    std::vector<std::string> arguments(argv + 2, argv + argc);
    if (command == "dump")
        return DumpCommand(arguments);
    if (command == "settings")
        return SettingsCommand(arguments);
    if (command == "filelist")
        return FileListCommand(arguments);
    if (command == "plan")
        return PlanCommand(arguments);
    if (command == "--help" || command == "-h" || command == "help") {
        fputs(USAGE, stdout);
        return 0;
    }
    return UsageError(("unknown command: " + command).c_str());
}
