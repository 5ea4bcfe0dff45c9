#include "platform/fault_seam_win.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static struct {
    bool read;            // the environment has been read
    unsigned long target; // the call to fail, counted from 1; 0 for none
    DWORD error;          // its error; ERROR_SUCCESS ends the process instead
    bool after;           // the call is made first, and fails only once done
    bool trace;
    unsigned long calls;
} g_fault;

static void ReadFaultSetting()
{
    g_fault.read = true;
    g_fault.trace = getenv("UPDATER_FAULT_TRACE") != NULL;
    const char *setting = getenv("UPDATER_FAULT");
    if (setting == NULL)
        return;
    char *rest = NULL;
    unsigned long target = strtoul(setting, &rest, 10);
    if (rest == setting || *rest != ':')
        return;
    ++rest;
    if (strcmp(rest, "exit") == 0) {
        g_fault.target = target;
        return;
    }
    bool after = strncmp(rest, "after:", 6) == 0;
    if (after)
        rest += 6;
    char *end = NULL;
    unsigned long error = strtoul(rest, &end, 10);
    if (end != rest && *end == '\0' && error != 0) {
        g_fault.target = target;
        g_fault.error = (DWORD)error;
        g_fault.after = after;
    }
}

CallFault InjectedFault(const char *call, bool changesFiles)
{
    CallFault fault = {ERROR_SUCCESS, ERROR_SUCCESS};
    if (!g_fault.read)
        ReadFaultSetting();
    ++g_fault.calls;
    if (g_fault.trace)
        fprintf(stderr, "file call %lu %s%s\n", g_fault.calls, call, changesFiles ? " changes" : "");
    if (g_fault.calls != g_fault.target)
        return fault;
    if (g_fault.error == ERROR_SUCCESS) {
        // As a kill: no cleanup of the process's own, its handles closed by the system.
        (void)fflush(stderr);
        (void)TerminateProcess(GetCurrentProcess(), 99);
    }
    if (g_fault.after && changesFiles)
        fault.after = g_fault.error;
    else
        fault.before = g_fault.error;
    return fault;
}
