// The updater's one straight run, from the command line to the exit code.
#ifndef UPDATER_UPDATE_RUN_H
#define UPDATER_UPDATE_RUN_H

// Runs the whole update with the program's arguments (8-bit, the program name first) and
// returns the process exit code, which is always 0: failures are passed over, never reported
// through the exit code. Starts from a zeroed UpdaterState.
int RunUpdater(int argumentCount, char **arguments);

// True when the first argument after the program name is exactly "-restart".
bool ReadRestartArgument(int argumentCount, char **arguments);

// Settings phase: loads AppDataPath + "/Brackmoor Games/Settings.kdx" through ApplySettings.
// Does nothing when AppDataPath is empty: without a per-user folder there are no data files,
// and a path composed from it would point at the root of the drive. False when the settings
// file is there but could not be opened or read whole: the game folder is then unknown rather
// than unset, and the file list waits for a run that can read it.
bool RunSettingsPhase();

#endif
