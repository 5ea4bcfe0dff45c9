#include "platform/security_win.h"
#include "platform/file_calls_win.h"

#include <string.h>
#include <aclapi.h>

// Sets `acl` (a copy of the staged file's DACL) as the file's protected DACL. The entries it
// inherited in the staging folder are marked inherited, and a protected DACL drops those: made
// the file's own first, they stay, and the file is never left with an empty DACL, which would
// deny everyone.
static void PutBackOwnDacl(HANDLE security, const ACL *before)
{
    enum { ACL_COPY_SIZE = 64 * 1024 }; // an ACL's size is a 16-bit count of bytes
    union {
        ACL acl;
        unsigned char bytes[ACL_COPY_SIZE];
    } copy;
    memset(&copy, 0, sizeof copy);
    memcpy(&copy, before, before->AclSize);
    for (DWORD index = 0; index < copy.acl.AceCount; ++index) {
        ACE_HEADER *ace = NULL;
        if (GetAce(&copy.acl, index, (void **)&ace) == 0)
            return; // a malformed copy is not set
        ace->AceFlags &= (BYTE)~INHERITED_ACE;
    }
    (void)OsSetSecurityInfo(security, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                            NULL, NULL, &copy.acl, NULL);
}

// The DACL of the file open as `security` (READ_CONTROL), to be freed with LocalFree through
// `descriptor`; NULL when it cannot be read.
static PACL ReadDacl(HANDLE security, PSECURITY_DESCRIPTOR *descriptor)
{
    PACL dacl = NULL;
    *descriptor = NULL;
    if (OsGetSecurityInfo(security, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, &dacl, NULL, descriptor) !=
        ERROR_SUCCESS)
        return NULL;
    return dacl;
}

// An empty, unprotected DACL: the file keeps no entry of its own and inherits its folder's.
static bool InheritDacl(HANDLE security)
{
    ACL empty;
    return InitializeAcl(&empty, sizeof empty, ACL_REVISION) != 0 &&
           OsSetSecurityInfo(security, SE_FILE_OBJECT,
                             DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION, NULL, NULL, &empty,
                             NULL) == ERROR_SUCCESS;
}

void InheritFolderSecurity(HANDLE file, bool hasSecurityAccess, bool administratorsOwn, InheritedEntries inherited)
{
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE security = hasSecurityAccess ? file : OsReOpenFile(file, READ_CONTROL | WRITE_DAC | WRITE_OWNER, share, 0);
    if (security == INVALID_HANDLE_VALUE)
        security = OsReOpenFile(file, READ_CONTROL | WRITE_DAC, share, 0);
    if (security == INVALID_HANDLE_VALUE)
        return;
    union {
        SID sid;
        unsigned char bytes[SECURITY_MAX_SID_SIZE];
    } administrators;
    DWORD size = sizeof administrators;
    if (administratorsOwn && CreateWellKnownSid(WinBuiltinAdministratorsSid, NULL, &administrators.sid, &size) != 0)
        (void)OsSetSecurityInfo(security, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &administrators.sid, NULL, NULL,
                                NULL);
    if (inherited == INHERITED_SOME) {
        (void)InheritDacl(security);
    } else {
        // The staged file's own DACL is kept first: with no entry inherited, no one could open it.
        PSECURITY_DESCRIPTOR beforeDescriptor = NULL;
        PACL before = ReadDacl(security, &beforeDescriptor);
        if (before != NULL && inherited == INHERITED_NONE) {
            PutBackOwnDacl(security, before);
        } else if (before != NULL && InheritDacl(security)) {
            PSECURITY_DESCRIPTOR afterDescriptor = NULL;
            PACL after = ReadDacl(security, &afterDescriptor);
            if (after == NULL || after->AceCount == 0)
                PutBackOwnDacl(security, before);
            if (afterDescriptor != NULL)
                (void)LocalFree(afterDescriptor);
        }
        if (beforeDescriptor != NULL)
            (void)LocalFree(beforeDescriptor);
    }
    if (security != file)
        (void)CloseHandle(security);
}
