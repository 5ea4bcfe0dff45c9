// The run's one process-wide state record. Zero at start; each field has one writer.
#ifndef UPDATER_UPDATER_STATE_H
#define UPDATER_UPDATER_STATE_H

enum { UPDATER_FOLDER_SIZE = 260 }; // at most 259 characters and a terminating zero

struct UpdaterState {
    char AppDataPath[UPDATER_FOLDER_SIZE]; // per-user data folder; written by the run, step 3
    unsigned char RestartClient;           // 1 when the first argument is "-restart"; the run
    char GamePath[UPDATER_FOLDER_SIZE];    // game install folder; written by ApplySettings
};

extern UpdaterState g_UpdaterState;

// Zeroes every field, as at process start.
void ResetUpdaterState();

#endif
