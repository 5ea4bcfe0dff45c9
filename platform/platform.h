// Platform services: the only place the updater touches the operating system beyond the
// standard library. Each service is one plain function; platform_win.cpp and
// platform_posix.cpp (and the per-OS files beside them) implement it, and the build picks
// the files. Every string is an 8-bit byte string, handed to the system unconverted.
#ifndef PLATFORM_PLATFORM_H
#define PLATFORM_PLATFORM_H

#include <stddef.h>

// Size of a folder buffer: at most 259 characters and a terminating zero.
enum { PLATFORM_FOLDER_SIZE = 260 };

// Fills `folder` (PLATFORM_FOLDER_SIZE bytes, zero-filled first) with the per-user application
// data folder: on Windows the shell's CSIDL_APPDATA folder (not created when missing); on
// POSIX $XDG_DATA_HOME when it is an absolute path, else $HOME + "/.local/share". Leaves
// `folder` empty and returns false when there is none or it would not fit; never cuts it.
bool GetUserDataFolder(char folder[PLATFORM_FOLDER_SIZE]);

// Blocks the calling thread for at least `milliseconds`.
void PauseMilliseconds(unsigned milliseconds);

#endif
