// The settings record: two LenString fields, a first string the updater steps over and the
// game folder, which becomes GamePath. Anything after them is ignored.
#ifndef DATAFILES_SETTINGS_RECORD_H
#define DATAFILES_SETTINGS_RECORD_H

#include <stddef.h>

#include "datafiles/byte_reader.h"

// The most payload the record can use: two strings of the longest a 16-bit length allows.
static const size_t SETTINGS_PAYLOAD_LIMIT = (size_t)2 * (2 + 65535);

// Reads both fields of a settings payload. Returns false when the payload ends before the
// second string's last byte; nothing past the view is read.
bool ReadSettingsRecord(const unsigned char *payload, size_t length, LenStringView *firstString,
                        LenStringView *gameFolder);

// Copies the game folder's text (the stored bytes up to the first zero byte) into `folder`
// (260 bytes, zero-filled first). A text of more than 259 bytes is refused, not cut: `folder`
// stays empty and the result is false.
bool TakeGameFolder(const LenStringView *gameFolder, char folder[260]);

// PayloadHandler for "Settings.kdx": sets GamePath from a complete record whose game folder
// fits; otherwise GamePath stays empty, so a partial or cut folder path is never used.
void ApplySettings(const unsigned char *payload, size_t length);

#endif
