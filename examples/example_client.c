/* An example game client that updates itself through the client library.
 *
 *   example_client update GAME_FOLDER DOWNLOAD_FOLDER UPDATER
 *       (UPDATER is the updater's file name in GAME_FOLDER, e.g. "updater.exe")
 *       (GAME_FOLDER may be "@FILE", a file holding it in UTF-8: a C program on Windows gets its
 *       command line in the ANSI code page, where a folder such as "C:\Games\Игры" is lost.)
 *       Stages every file that DOWNLOAD_FOLDER/manifest.txt names (one "SIZE IN_USE NAME" a line:
 *       the size the server declares, 1 for a file the running client holds, such as its own
 *       executable, and the installed name), installs at once every file not in use, commits the
 *       rest in a file list and hands over to UPDATER with "-restart", then exits.
 *   example_client            (as the updater restarts it, in the game folder)
 *       Reads the outcome and writes it to "client-outcome.txt" in its current folder.
 *
 * A real client downloads into the staged file itself (UpdateClientOpenStaged); this one copies
 * from a folder that stands for the server. Exit status: 0 done, 1 the update was refused. */
#include <stdio.h>
#include <string.h>

#include "client/update_client.h"

enum { MANIFEST_LINE_SIZE = 512 };

static int Refused(const UpdateClientReport *report)
{
    fprintf(stderr, "example_client: %s\n", report->reason);
    return 1;
}

/* The staged name: the installed name and the four-byte suffix the updater drops. */
static int StagedName(const char *name, char staged[UPDATE_CLIENT_NAME_SIZE])
{
    return snprintf(staged, UPDATE_CLIENT_NAME_SIZE, "%s.new", name) < UPDATE_CLIENT_NAME_SIZE;
}

static int Update(const char *gameFolder, const char *downloads, const char *updater)
{
    static UpdateClientEntry handedOver[UPDATE_CLIENT_MAX_HANDED_OVER];
    static char handedNames[UPDATE_CLIENT_MAX_HANDED_OVER][UPDATE_CLIENT_NAME_SIZE];
    size_t handedCount = 0;
    unsigned installed = 0;
    UpdateClientReport report;
    char path[1024];
    char line[MANIFEST_LINE_SIZE];

    if (UpdateClientWriteSettings(gameFolder, "example", &report) != UPDATE_CLIENT_OK)
        return Refused(&report);
    printf("%s\n", report.reason);
    snprintf(path, sizeof path, "%s/manifest.txt", downloads);
    FILE *manifest = fopen(path, "r");
    if (manifest == NULL) {
        fprintf(stderr, "example_client: no manifest at %s\n", path);
        return 1;
    }
    while (fgets(line, sizeof line, manifest) != NULL) {
        long long size = 0;
        int inUse = 0;
        int consumed = 0;
        char staged[UPDATE_CLIENT_NAME_SIZE];
        line[strcspn(line, "\r\n")] = '\0';
        if (sscanf(line, "%lld %d %n", &size, &inUse, &consumed) < 2 || !StagedName(line + consumed, staged)) {
            fprintf(stderr, "example_client: bad manifest line: %s\n", line);
            fclose(manifest);
            return 1;
        }
        snprintf(path, sizeof path, "%s/%s", downloads, line + consumed);
        if (UpdateClientStageFile(staged, path, &report) != UPDATE_CLIENT_OK) {
            fclose(manifest);
            return Refused(&report);
        }
        /* What no program holds is installed now, whatever the update's size; the rest waits
         * for the updater, which runs once this client has exited. */
        UpdateClientStatus status = inUse ? UPDATE_CLIENT_IN_USE : UpdateClientInstallNow(staged, 30000, &report);
        if (status == UPDATE_CLIENT_OK) {
            ++installed;
            continue;
        }
        if (status != UPDATE_CLIENT_IN_USE || handedCount == UPDATE_CLIENT_MAX_HANDED_OVER) {
            fclose(manifest);
            return Refused(&report);
        }
        memcpy(handedNames[handedCount], staged, sizeof staged);
        handedOver[handedCount].stagedName = handedNames[handedCount];
        handedOver[handedCount].size = size;
        ++handedCount;
    }
    fclose(manifest);
    printf("installed now: %u; handed over: %u\n", installed, (unsigned)handedCount);
    if (UpdateClientCommit(handedOver, handedCount, &report) != UPDATE_CLIENT_OK)
        return Refused(&report);
    /* The client closes its browser window first; the hand-over waits until it is gone. */
    snprintf(path, sizeof path, "%s/%s", gameFolder, updater);
    if (UpdateClientHandOver(path, 1, 10000, &report) != UPDATE_CLIENT_OK)
        return Refused(&report);
    printf("%s\n", report.reason);
    return 0;
}

static int TellOutcome(void)
{
    static UpdateClientOutcome outcome;
    UpdateClientReport report;
    FILE *log = fopen("client-outcome.txt", "w");
    if (log == NULL)
        return 1;
    if (UpdateClientReadOutcome(&outcome, &report) != UPDATE_CLIENT_OK) {
        fprintf(log, "unknown: %s\n", report.reason);
        fclose(log);
        return 1;
    }
    static const char *const states[] = {"applied", "list-waiting", "files-left"};
    fprintf(log, "%s %u\n", states[outcome.state], (unsigned)outcome.leftCount);
    for (size_t index = 0; index < outcome.leftShown; ++index)
        fprintf(log, "left %s: %s\n", outcome.left[index].stagedName, outcome.left[index].reason);
    return fclose(log) == 0 ? 0 : 1;
}

int main(int argc, char **argv)
{
    if (argc == 5 && strcmp(argv[1], "update") == 0 && argv[2][0] == '@') {
        static char gameFolder[UPDATE_CLIENT_PATH_SIZE * 4];
        FILE *file = fopen(argv[2] + 1, "rb");
        size_t got = file != NULL ? fread(gameFolder, 1, sizeof gameFolder - 1, file) : 0;
        if (file != NULL)
            fclose(file);
        gameFolder[got] = '\0';
        gameFolder[strcspn(gameFolder, "\r\n")] = '\0';
        return Update(gameFolder, argv[3], argv[4]);
    }
    if (argc == 5 && strcmp(argv[1], "update") == 0)
        return Update(argv[2], argv[3], argv[4]);
    if (argc == 1)
        return TellOutcome();
    fprintf(stderr, "usage: example_client update GAME_FOLDER DOWNLOAD_FOLDER UPDATER_NAME\n"
                    "       example_client   (restarted: writes client-outcome.txt)\n");
    return 2;
}
