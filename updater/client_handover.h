// The hand-over with the client around the update: waiting for its browser window to go, and
// starting the client again afterwards.
#ifndef UPDATER_CLIENT_HANDOVER_H
#define UPDATER_CLIENT_HANDOVER_H

// Pauses 500 ms, then returns once no top-level window of class "OrvoBrowser" exists. While
// one does, it shows "Waiting for the browser to exit" ("Waiting...") and looks again 5 ms
// after each dismissal. No time limit: no file may be touched while the browser runs.
void WaitForBrowser();

// Starts GamePath + "/Orvo.exe" without waiting for it. With GamePath empty it starts nothing:
// the path would name a program at the root of the drive, run with the updater's rights.
void RelaunchClient();

#endif
