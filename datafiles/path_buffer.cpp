#include "datafiles/path_buffer.h"

#include <string.h>

bool ComposePath(char *buffer, size_t size, const char *first, const char *second, const char *third)
{
    memset(buffer, 0, size);
    size_t lengths[3] = {strlen(first), strlen(second), strlen(third)};
    if (size == 0 || lengths[0] + lengths[1] + lengths[2] > size - 1)
        return false;
    memcpy(buffer, first, lengths[0]);
    memcpy(buffer + lengths[0], second, lengths[1]);
    memcpy(buffer + lengths[0] + lengths[1], third, lengths[2]);
    return true;
}
