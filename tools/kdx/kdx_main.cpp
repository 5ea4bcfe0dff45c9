// kdx: reads and writes the updater's data files, for the client's developers and support.
//   kdx dump [--as settings|filelist] [--data-folder DIR] [--game-folder DIR] FILE
//   kdx settings [--short] GAME_FOLDER [FIRST_STRING] [-o FILE]
//   kdx filelist NAME... [-o FILE]
//   kdx filelist --from FOLDER [-o FILE]
//   kdx plan [--records] [--data-folder DIR]
// Arguments are read in the client's form (UTF-8 on Windows) and written in the updater's.
// Exit status: 0 done (plan: every entry would install); 1 the container was rejected (dump),
// or some entry would not install (plan); 2 bad arguments or unreadable file.
#include <stdio.h>

#include <string>
#include <vector>

#include "platform/spelling.h"
#include "tools/kdx/kdx_tool.h"

static const char USAGE[] = "usage: kdx dump [--as settings|filelist] [--data-folder DIR] [--game-folder DIR] FILE\n"
                            "       kdx settings [--short] GAME_FOLDER [FIRST_STRING] [-o FILE]\n"
                            "       kdx filelist NAME... [-o FILE]\n"
                            "       kdx filelist --from FOLDER [-o FILE]\n"
                            "       kdx plan [--records] [--data-folder DIR]\n"
                            "\n"
                            "dump      shows a data file's container status and its record as the updater reads it;\n"
                            "          for a file list, what each entry installs as or why it is refused. The kind\n"
                            "          is taken from the file name (Settings.kdx, FileList.kdx) unless --as says it.\n"
                            "          Path limits are checked against --data-folder (the per-user data folder) and\n"
                            "          --game-folder; both are empty unless given.\n"
                            "settings  writes a settings file naming GAME_FOLDER (standard output, or -o FILE). A\n"
                            "          folder the ANSI code page (which the updater reads it in) cannot write is\n"
                            "          refused (exit 2); --short writes its short 8.3 form instead, and says so.\n"
                            "filelist  writes a file list of the staged NAMEs, each with its four-byte suffix; with\n"
                            "          --from, of every regular file below FOLDER (refused, exit 2, when one would\n"
                            "          be refused by the updater, is not a regular file, has a name the code page\n"
                            "          cannot write, or there are over 255).\n"
                            "plan      reads the settings file and the file list of the per-user data folder (or DIR)\n"
                            "          as the updater would and shows what it would do with each entry, changing\n"
                            "          nothing. Exit status 1 when some entry would not install. With no file list,\n"
                            "          what an earlier run left behind (exit status 1 when something is left).\n"
                            "          --records: one record a line, fields separated by tabs; in a field a tab,\n"
                            "          newline, carriage return and backslash are \\t \\n \\r \\\\, other control\n"
                            "          bytes \\xNN. The records, in this order (README: their tokens):\n"
                            "            data-folder PATH (empty: none)\n"
                            "            note list-through-link|elevated-run-differs|game-folder-unreadable\n"
                            "            claimed PATH waiting|returns\n"
                            "            game-folder PATH STATE\n"
                            "            list PATH STATE ENTRIES\n"
                            "            entry INDEX NAME VERDICT MOVE STAGED-SIZE TARGET-SIZE OTHER-ENTRY\n"
                            "            cut INDEX\n"
                            "            left PATH STATE\n"
                            "            leftover PATH temporary|set-aside\n"
                            "            summary INSTALL REPLACE REPLACED-LATER WOULD-NOT LEFT LEFTOVERS\n";

int UsageError(const char *message)
{
    fprintf(stderr, "kdx: %s\n\n%s", message, USAGE);
    return 2;
}

int main(int argc, char **argv)
{
    // A command line holds fewer arguments than this.
    static char *given[16384];
    int count = GetClientFormArguments(argc, argv, given, (int)(sizeof given / sizeof given[0]));
    if (count < 2)
        return UsageError(count == 0 ? "the command line cannot be read" : "no command given");
    std::string command = given[1];
    std::vector<std::string> arguments(given + 2, given + count);
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
