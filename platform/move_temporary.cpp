#include "platform/move_temporary.h"

#include "platform/platform.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

static const char TEMPORARY_PREFIX[] = ".~upd-";
static const char TEMPORARY_SUFFIX[] = ".tmp";

bool ComposeMoveTemporaryPath(char temporary[MOVE_TEMPORARY_PATH_SIZE], const char *folder, size_t folderLength,
                              unsigned long process, unsigned attempt)
{
    memset(temporary, 0, MOVE_TEMPORARY_PATH_SIZE);
    char name[64];
    int nameLength = snprintf(name, sizeof name, "/%s%lu-%u%s", TEMPORARY_PREFIX, process, attempt, TEMPORARY_SUFFIX);
    if (nameLength <= 0 || folderLength + (size_t)nameLength >= MOVE_TEMPORARY_PATH_SIZE)
        return false;
    memcpy(temporary, folder, folderLength);
    memcpy(temporary + folderLength, name, (size_t)nameLength);
    return true;
}

bool IsMoveTemporaryName(const char *name)
{
    size_t prefixLength = sizeof TEMPORARY_PREFIX - 1;
    size_t suffixLength = sizeof TEMPORARY_SUFFIX - 1;
    size_t length = strlen(name);
    if (length <= prefixLength + suffixLength || strncmp(name, TEMPORARY_PREFIX, prefixLength) != 0 ||
        strcmp(name + length - suffixLength, TEMPORARY_SUFFIX) != 0)
        return false;
    // Between them: digits, one "-", digits.
    size_t dashes = 0;
    for (size_t i = prefixLength; i < length - suffixLength; ++i) {
        if (name[i] == '-')
            ++dashes;
        else if (name[i] < '0' || name[i] > '9')
            return false;
    }
    return dashes == 1 && name[prefixLength] != '-' && name[length - suffixLength - 1] != '-';
}

unsigned long MoveTemporaryProcess(const char *name)
{
    unsigned long process = 0;
    for (const char *digit = name + sizeof TEMPORARY_PREFIX - 1; *digit >= '0' && *digit <= '9'; ++digit) {
        process = process * 10 + (unsigned long)(*digit - '0');
        if (process > 0x7FFFFFFFul)
            return MOVE_TEMPORARY_NO_PROCESS;
    }
    return process;
}

bool IsReservedFileName(const char *name, size_t length)
{
    size_t prefixLength = sizeof TEMPORARY_PREFIX - 1;
    if (length < prefixLength)
        return false;
    for (size_t i = 0; i < prefixLength; ++i) {
        if (tolower((unsigned char)name[i]) != TEMPORARY_PREFIX[i])
            return false;
    }
    return true;
}

// ".~upd-" + hex digits + "-" + hex digits + "~" + the name the file was set aside from.
static bool IsSetAsideName(const char *name)
{
    size_t prefixLength = sizeof TEMPORARY_PREFIX - 1;
    if (strncmp(name, TEMPORARY_PREFIX, prefixLength) != 0)
        return false;
    const char *at = name + prefixLength;
    for (int group = 0; group < 2; ++group) {
        size_t digits = strspn(at, "0123456789abcdef");
        if (digits == 0 || at[digits] != (group == 0 ? '-' : '~'))
            return false;
        at += digits + 1;
    }
    return *at != '\0';
}

LeftoverKind KindOfLeftover(const char *name)
{
    if (IsMoveTemporaryName(name))
        return LEFTOVER_TEMPORARY;
    return IsSetAsideName(name) ? LEFTOVER_SET_ASIDE : LEFTOVER_NONE;
}
