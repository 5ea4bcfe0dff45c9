#include "platform/fault_seam_win.h"

DWORD InjectedFault(const char *call)
{
    (void)call;
    return ERROR_SUCCESS;
}
