// Windows implementation of what tools tell about an elevated run: an administrator's tools run
// with the limited half of a split token, while the updater (highestAvailable) runs with the
// elevated half, so a plan made with the limited one would call refused what the run may do.
#include "platform/platform.h"
#include "platform/file_calls_win.h"
#include "platform/path_win.h"

#include <aclapi.h>
#include <string.h>
#include <windows.h>

// The elevated token linked to this process's limited one (an identification token: enough for
// an access check, not for acting), or NULL when this process has none. `limited` tells whether
// the process's token is a limited one at all.
static HANDLE OpenElevatedLinkedToken(bool *limited)
{
    *limited = false;
    HANDLE token = NULL;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) == 0)
        return NULL;
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    TOKEN_LINKED_TOKEN linked;
    memset(&linked, 0, sizeof linked);
    DWORD size = 0;
    *limited = GetTokenInformation(token, TokenElevationType, &type, sizeof type, &size) != 0 &&
               type == TokenElevationTypeLimited;
    if (!*limited || GetTokenInformation(token, TokenLinkedToken, &linked, sizeof linked, &size) == 0)
        linked.LinkedToken = NULL;
    (void)CloseHandle(token);
    return linked.LinkedToken;
}

ElevatedRun FindElevatedRun()
{
    bool limited = false;
    HANDLE linked = OpenElevatedLinkedToken(&limited);
    if (linked != NULL)
        (void)CloseHandle(linked);
    return limited ? ELEVATED_RUN_LINKED : ELEVATED_RUN_SAME;
}

// Sets `granted` to all that `token` may do to the file or folder at `path` (extended form),
// by its security descriptor. `flags` for the open: FILE_FLAG_OPEN_REPARSE_POINT for a link
// itself. False when the descriptor or the check is not to be had.
static bool GrantedAccess(HANDLE token, const wchar_t *path, DWORD flags, ACCESS_MASK *granted)
{
    *granted = 0;
    HANDLE file = OsCreateFileW(path, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    DWORD error = GetSecurityInfo(file, SE_FILE_OBJECT,
                                  OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                  NULL, NULL, NULL, NULL, &descriptor);
    (void)CloseHandle(file);
    if (error != ERROR_SUCCESS)
        return false;
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    unsigned char privileges[sizeof(PRIVILEGE_SET) + 16 * sizeof(LUID_AND_ATTRIBUTES)];
    memset(privileges, 0, sizeof privileges);
    DWORD privilegesLength = sizeof privileges;
    BOOL passed = FALSE;
    bool checked = AccessCheck(descriptor, token, MAXIMUM_ALLOWED, &mapping, (PPRIVILEGE_SET)privileges,
                               &privilegesLength, granted, &passed) != 0;
    (void)LocalFree(descriptor);
    if (!checked || passed == FALSE)
        *granted = 0;
    return checked;
}

ElevatedAccess CheckElevatedReplace(const char *target)
{
    bool limited = false;
    HANDLE token = OpenElevatedLinkedToken(&limited);
    if (token == NULL)
        return ELEVATED_ACCESS_UNKNOWN;
    wchar_t targetPath[EXTENDED_PATH_SIZE];
    wchar_t folderPath[EXTENDED_PATH_SIZE];
    ACCESS_MASK folder = 0;
    ACCESS_MASK file = 0;
    bool known = ToExtendedPath(target, targetPath) && ToExtendedPrefix(target, FolderPartLength(target), folderPath) &&
                 GrantedAccess(token, folderPath, 0, &folder);
    // A name that cannot be examined may hold a file.
    DWORD attributes = known ? OsGetFileAttributesW(targetPath) : INVALID_FILE_ATTRIBUTES;
    bool exists = known && (attributes != INVALID_FILE_ATTRIBUTES ||
                            (GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND));
    bool readOnly = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (exists)
        known = GrantedAccess(token, targetPath, FILE_FLAG_OPEN_REPARSE_POINT, &file);
    (void)CloseHandle(token);
    if (!known)
        return ELEVATED_ACCESS_UNKNOWN;
    // As the move asks: a name added to the folder, and a file there opened for deletion (and for
    // its attributes when it is read-only); the folder's right to delete its children grants the
    // deletion as well.
    bool allowed =
        (folder & FILE_ADD_FILE) != 0 && (!exists || ((!readOnly || (file & FILE_WRITE_ATTRIBUTES) != 0) &&
                                                      ((file & DELETE) != 0 || (folder & FILE_DELETE_CHILD) != 0)));
    return allowed ? ELEVATED_ACCESS_ALLOWED : ELEVATED_ACCESS_REFUSED;
}
