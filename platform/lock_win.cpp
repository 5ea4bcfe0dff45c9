// Windows implementation of the run's lock: a named mutex of the running user's own, shared by
// all of that user's sessions where it can be.
#include "platform/platform.h"
#include "platform/file_calls_win.h"

#include <stdio.h>
#include <wchar.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

// The user running this process: the SID from its token, and as text (freed with LocalFree).
struct RunningUser {
    union {
        TOKEN_USER user;
        unsigned char bytes[256];
    } token;
    wchar_t *text;
};

static bool IdentifyRunningUser(RunningUser *user)
{
    HANDLE token = NULL;
    DWORD needed = 0;
    user->text = NULL;
    bool known = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) != 0 &&
                 GetTokenInformation(token, TokenUser, &user->token, sizeof user->token, &needed) != 0 &&
                 ConvertSidToStringSidW(user->token.user.User.Sid, &user->text) != 0;
    if (token != NULL)
        (void)CloseHandle(token);
    return known;
}

// Opens the lock `name`, created with `security` when it is new. NULL when it cannot, and when
// what has that name belongs to another account (which made it first): such a mutex must
// neither block the run nor let it go on unguarded.
static HANDLE OpenOwnLock(const wchar_t *name, PSECURITY_DESCRIPTOR security, PSID user)
{
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, security, FALSE};
    HANDLE mutex = OsCreateMutexW(&attributes, FALSE, name);
    // Created by the user's run of another level: waiting is all this one needs.
    if (mutex == NULL && GetLastError() == ERROR_ACCESS_DENIED)
        mutex = OsOpenMutexW(SYNCHRONIZE | READ_CONTROL, FALSE, name);
    if (mutex == NULL)
        return NULL;
    PSID owner = NULL;
    PSECURITY_DESCRIPTOR found = NULL;
    bool own = OsGetSecurityInfo(mutex, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, NULL, NULL, NULL,
                                 &found) == ERROR_SUCCESS &&
               owner != NULL && EqualSid(owner, user) != 0;
    LocalFree(found);
    if (!own) {
        (void)CloseHandle(mutex);
        return NULL;
    }
    return mutex;
}

// The mutex this process owns as the run's claim; NULL when none is held.
static HANDLE g_runLock = NULL;

RunLockOutcome LockUpdateRun(const char *stagingFolder, unsigned waitMs)
{
    (void)stagingFolder;
    UnlockUpdateRun();
    RunningUser user;
    if (!IdentifyRunningUser(&user)) {
        LocalFree(user.text);
        return RUN_LOCK_NO_CLAIM;
    }
    // Owned by the user, whatever the level of the run that creates it, and usable by the user
    // alone, elevated or not.
    wchar_t descriptor[256];
    wchar_t globalName[128];
    wchar_t localName[128];
    PSECURITY_DESCRIPTOR security = NULL;
    bool composed =
        swprintf(descriptor, 256, L"O:%lsD:(A;;GA;;;%ls)", user.text, user.text) > 0 &&
        swprintf(globalName, 128, L"Global\\BrackmoorGamesUpdateRun-%ls", user.text) > 0 &&
        swprintf(localName, 128, L"Local\\BrackmoorGamesUpdateRun-%ls", user.text) > 0 &&
        ConvertStringSecurityDescriptorToSecurityDescriptorW(descriptor, SDDL_REVISION_1, &security, NULL) != 0;
    LocalFree(user.text);
    // One lock for all of the user's sessions, which share %APPDATA%. When another account took
    // that name first, the lock of this session at least.
    HANDLE mutex = composed ? OpenOwnLock(globalName, security, user.token.user.User.Sid) : NULL;
    if (mutex == NULL && composed)
        mutex = OpenOwnLock(localName, security, user.token.user.User.Sid);
    LocalFree(security);
    if (mutex == NULL)
        return RUN_LOCK_NO_CLAIM;
    // An abandoned mutex (a killed updater) is ours all the same.
    DWORD waited = OsWaitForSingleObject(mutex, waitMs);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
        g_runLock = mutex;
        return RUN_LOCK_HELD;
    }
    (void)CloseHandle(mutex);
    return waited == WAIT_TIMEOUT ? RUN_LOCK_TIMED_OUT : RUN_LOCK_NO_CLAIM;
}

void UnlockUpdateRun()
{
    if (g_runLock == NULL)
        return;
    (void)ReleaseMutex(g_runLock);
    (void)CloseHandle(g_runLock);
    g_runLock = NULL;
}
