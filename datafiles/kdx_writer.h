// Making data files: for the kdx tool, the client's build and tests. Not used by the updater.
#ifndef DATAFILES_KDX_WRITER_H
#define DATAFILES_KDX_WRITER_H

#include <stddef.h>
#include <string>
#include <vector>

// A container with version 1 and flag 0 around `payload`.
std::string MakeKdxContainer(const std::string &payload);

// Appends a LenString field. Returns false, appending nothing, for text over 65535 bytes.
bool AppendLenString(std::string *payload, const std::string &text);

// Settings payload: `firstString`, then `gameFolder`. False when either is over 65535 bytes.
bool MakeSettingsPayload(const std::string &gameFolder, const std::string &firstString, std::string *payload);

// File-list payload. False for more than 255 names or a name over 65535 bytes.
bool MakeFileListPayload(const std::vector<std::string> &names, std::string *payload);

#endif
