/* The client's half of an update, as a library: what a game client calls to hand an update over
 * to the updater. Built beside the updater from the same data-file and platform code, so that a
 * name it stages is judged, and a file it installs is moved, exactly as the updater would.
 *
 * A client's update, in order:
 *   1. UpdateClientWriteSettings once the game folder is known (at install, and whenever it moves);
 *   2. UpdateClientStageFile / UpdateClientOpenStaged for every downloaded file, under its staged
 *      name (the installed name and a four-byte suffix, e.g. "Maps/Harbour.map.new");
 *   3. UpdateClientInstallNow for each staged file that no program holds open (data files): they
 *      are installed at once, whatever their number;
 *   4. UpdateClientCommit with what is left (the client's own executable and libraries, at most
 *      255 files), which writes the file list last;
 *   5. UpdateClientHandOver, then exit; the updater installs the list and restarts the client;
 *   6. the restarted client calls UpdateClientReadOutcome.
 *
 * Text in the client form: UTF-8 on Windows, bytes on POSIX. Paths the library returns are in the
 * updater's own 8-bit form (the ANSI code page on Windows). Every call reports into a
 * UpdateClientReport that the caller provides; no call keeps state between calls, and none throws.
 * Not for two threads at once. On POSIX the library sets a handler for SIGIO (it does nothing),
 * which read leases need: a client that uses SIGIO itself must set its own again after a call. */
#ifndef CLIENT_UPDATE_CLIENT_H
#define CLIENT_UPDATE_CLIENT_H

#include <stddef.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    UPDATE_CLIENT_PATH_SIZE = 260,       /* a folder or staged path: 259 bytes and a zero */
    UPDATE_CLIENT_NAME_SIZE = 128,       /* a staged name: 127 bytes and a zero */
    UPDATE_CLIENT_REASON_SIZE = 320,     /* an English reason, zero-terminated */
    UPDATE_CLIENT_MAX_HANDED_OVER = 255, /* a file list holds at most 255 names */
    UPDATE_CLIENT_MAX_LEFT = 256         /* staged files an outcome tells one by one */
};

typedef enum UpdateClientStatus {
    UPDATE_CLIENT_OK = 0,
    UPDATE_CLIENT_NO_DATA_FOLDER,       /* there is no per-user data folder the updater can reach */
    UPDATE_CLIENT_NO_GAME_FOLDER,       /* no settings file, or it names no usable game folder */
    UPDATE_CLIENT_FOLDER_REFUSED,       /* a game folder that is relative, empty, over 259 bytes, or that
                                           the code page cannot spell, even in its short form */
    UPDATE_CLIENT_NAME_REFUSED,         /* the updater would refuse this staged name: `entryVerdict` */
    UPDATE_CLIENT_TOO_MANY_FILES,       /* more than 255 files handed over in one list */
    UPDATE_CLIENT_STAGED_FILE_UNUSABLE, /* the staged file is missing or cannot be moved: `moveVerdict` */
    UPDATE_CLIENT_STILL_BEING_WRITTEN,  /* a program holds the staged file open for writing */
    UPDATE_CLIENT_SIZE_DIFFERS,         /* the staged file's size is not the size declared for it */
    UPDATE_CLIENT_IN_USE,               /* install now: a program holds the file; hand it over instead */
    UPDATE_CLIENT_UPDATER_RUNNING,      /* another updater kept the staging folder for the whole wait */
    UPDATE_CLIENT_BROWSER_STAYED,       /* hand-over: the browser window stayed: nothing was started */
    UPDATE_CLIENT_SYSTEM_ERROR          /* the system refused: `systemError` */
} UpdateClientStatus;

typedef struct UpdateClientReport {
    UpdateClientStatus status;
    int entryVerdict;                       /* the updater's verdict on the name, for UPDATE_CLIENT_NAME_REFUSED */
    int moveVerdict;                        /* what the move would meet, for UPDATE_CLIENT_STAGED_FILE_UNUSABLE */
    unsigned long systemError;              /* errno (POSIX) or Win32 error, for UPDATE_CLIENT_SYSTEM_ERROR */
    int usedShortForm;                      /* settings: the game folder was written in its short 8.3 form */
    char name[UPDATE_CLIENT_NAME_SIZE];     /* the staged name the report is about, when one is */
    char reason[UPDATE_CLIENT_REASON_SIZE]; /* what happened, in English, for a log */
} UpdateClientReport;

/* Fills `folder` (zero-filled first) with the per-user data folder exactly as the updater finds
 * it; the data files live in its "Brackmoor Games" folder, the staged files in
 * "Brackmoor Games/Temp". Returns UPDATE_CLIENT_NO_DATA_FOLDER, `folder` empty, when there is none. */
UpdateClientStatus UpdateClientFindDataFolder(char folder[UPDATE_CLIENT_PATH_SIZE], UpdateClientReport *report);

/* Writes the settings file naming `gameFolder` (client form, absolute), creating the data
 * folders it needs: written under a fresh name, synced, then renamed over the old file. A folder
 * the code page cannot spell is written in its short 8.3 form when that spells it
 * (`usedShortForm` says so), and refused otherwise. `firstString` (NULL for none) is stored first;
 * the updater steps over it. */
UpdateClientStatus UpdateClientWriteSettings(const char *gameFolder, const char *firstString,
                                             UpdateClientReport *report);

/* Stages a copy of the file at `sourcePath` (client form) under the staged name `stagedName`
 * (client form, "/" between folders), creating its folders: copied under a reserved fresh name
 * beside it, synced, then renamed to the staged name, replacing an older download there. A name
 * the updater would refuse is UPDATE_CLIENT_NAME_REFUSED, with its verdict; nothing is written. A
 * source that a program has open for writing, or writes during the copy, is
 * UPDATE_CLIENT_STILL_BEING_WRITTEN (Windows: it does not open, UPDATE_CLIENT_SYSTEM_ERROR). */
UpdateClientStatus UpdateClientStageFile(const char *stagedName, const char *sourcePath, UpdateClientReport *report);

/* A staged file the client writes itself (a download): UpdateClientOpenStaged fills it and opens
 * `file` for writing under a reserved fresh name; the client writes with stdio; then
 * UpdateClientFinishStaged syncs it, closes it and gives it its staged name, or
 * UpdateClientAbandonStaged closes and removes it. Zero-fill it before UpdateClientOpenStaged. */
typedef struct UpdateClientStagedFile {
    FILE *file;
    char partPath[UPDATE_CLIENT_PATH_SIZE];
    char stagedPath[UPDATE_CLIENT_PATH_SIZE];
} UpdateClientStagedFile;
UpdateClientStatus UpdateClientOpenStaged(const char *stagedName, UpdateClientStagedFile *staged,
                                          UpdateClientReport *report);
UpdateClientStatus UpdateClientFinishStaged(UpdateClientStagedFile *staged, UpdateClientReport *report);
void UpdateClientAbandonStaged(UpdateClientStagedFile *staged);

/* Installs the staged file `stagedName` into the game folder now, creating its new folders there
 * (never through a link in the game folder), with the updater's own move
 * (the same checks, durable before it returns), while holding the updater's claim on the staging
 * folder, so that no updater runs meanwhile (waits at most `lockWaitMs`). For files no program
 * holds open: one that is in use (Windows: a running program or loaded DLL, never set aside under
 * the running client; POSIX: open for writing) is UPDATE_CLIENT_IN_USE and stays staged, to be
 * handed over. */
UpdateClientStatus UpdateClientInstallNow(const char *stagedName, unsigned lockWaitMs, UpdateClientReport *report);

/* A staged file to hand over, and the size the client downloaded for it. */
typedef struct UpdateClientEntry {
    const char *stagedName; /* client form */
    long long size;
} UpdateClientEntry;

/* Writes the file list naming `entries`, in order, for the updater to install: last, after
 * checking every entry (a name the updater accepts, a staged regular file it can move, of the
 * declared size, open for writing nowhere), under a fresh reserved name in the staging folder,
 * synced, and then renamed over any older list. More than 255 entries, or any entry that fails a
 * check, writes nothing; `report->name` names the entry. */
UpdateClientStatus UpdateClientCommit(const UpdateClientEntry *entries, size_t count, UpdateClientReport *report);

/* Hands the update over: waits until no browser window ("OrvoBrowser") is left, at most
 * `browserWaitMs`, so that the updater never finds one and never shows its box (which waits for
 * the player's OK); then starts the updater at `updaterPath` (client form, absolute), with "-restart" when
 * `restartClient` is not 0, in the game folder, and returns: the client then exits. A window still
 * there after the wait starts nothing (UPDATE_CLIENT_BROWSER_STAYED). */
UpdateClientStatus UpdateClientHandOver(const char *updaterPath, int restartClient, unsigned browserWaitMs,
                                        UpdateClientReport *report);

typedef enum UpdateClientOutcomeState {
    UPDATE_CLIENT_APPLIED = 0,  /* no file list and no staged file is left: every file installed */
    UPDATE_CLIENT_LIST_WAITING, /* the file list is still there: no updater has installed it yet
                                   (or a run could not make its moves durable and kept it) */
    UPDATE_CLIENT_FILES_LEFT    /* the list is gone but staged files are left: see `left` */
} UpdateClientOutcomeState;

/* A staged file still there, and what a move of it would meet now. */
typedef struct UpdateClientLeftFile {
    char stagedName[UPDATE_CLIENT_NAME_SIZE]; /* updater form, "/" between folders (UTF-8 for a name the code page
                                                 cannot spell) */
    int entryVerdict;                         /* the updater's verdict on its name (0: installable) */
    int moveVerdict;                          /* what its move would meet, for an installable name */
    char reason[UPDATE_CLIENT_REASON_SIZE];
} UpdateClientLeftFile;

typedef struct UpdateClientOutcome {
    UpdateClientOutcomeState state;
    size_t leftCount; /* staged files left, all of them */
    size_t leftShown; /* how many of them `left` holds */
    UpdateClientLeftFile left[UPDATE_CLIENT_MAX_LEFT];
} UpdateClientOutcome;

/* What the last hand-over came to, for the restarted client: fills `outcome` (zero-filled first)
 * from the staging folder as it is, examining each staged file left as the kdx plan does. */
UpdateClientStatus UpdateClientReadOutcome(UpdateClientOutcome *outcome, UpdateClientReport *report);

#ifdef __cplusplus
}
#endif

#endif
