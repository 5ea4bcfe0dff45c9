#include "platform/move_temporary.h"

#include <string.h>

#include "platform/platform.h"

bool ComposeMoveTemporaryPath(char temporary[MOVE_TEMPORARY_PATH_SIZE], const char *target)
{
    memset(temporary, 0, MOVE_TEMPORARY_PATH_SIZE);
    size_t targetLength = strlen(target);
    size_t suffixLength = strlen(MOVE_TEMPORARY_SUFFIX);
    if (targetLength + suffixLength >= MOVE_TEMPORARY_PATH_SIZE)
        return false;
    memcpy(temporary, target, targetLength);
    memcpy(temporary + targetLength, MOVE_TEMPORARY_SUFFIX, suffixLength + 1);
    return true;
}
