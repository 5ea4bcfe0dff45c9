// Windows implementation of LaunchProgram. An elevated updater whose user also has a limited
// token starts the client with that limited token, through the desktop shell or else by the
// token itself, and otherwise not at all: the game folder comes from a file the user's own
// programs can write, and an elevated start would run whatever they put there as administrator.
#include "platform/platform.h"
#include "platform/launch_win.h"
#include "platform/file_calls_win.h"
#include "platform/path_win.h"

#include <string.h>
#include <windows.h>
#include <exdisp.h>
#include <shellapi.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>

bool RunsElevated()
{
    HANDLE token = NULL;
    TOKEN_ELEVATION elevation;
    DWORD size = 0;
    memset(&elevation, 0, sizeof elevation);
    bool elevated = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) != 0 &&
                    GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) != 0 &&
                    elevation.TokenIsElevated != 0;
    if (token != NULL)
        (void)CloseHandle(token);
    return elevated;
}

bool RunsElevatedWithLimitedToken()
{
    HANDLE token = NULL;
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    DWORD size = 0;
    bool full = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) != 0 &&
                GetTokenInformation(token, TokenElevationType, &type, sizeof type, &size) != 0 &&
                type == TokenElevationTypeFull;
    if (token != NULL)
        (void)CloseHandle(token);
    return full;
}

// The desktop shell's own ShellExecute: from the shell's window list, its desktop view, that
// view's folder object and its application. NULL when any step is missing.
static IShellDispatch2 *DesktopShell()
{
    IShellWindows *windows = NULL;
    IDispatch *desktop = NULL;
    IServiceProvider *provider = NULL;
    IShellBrowser *browser = NULL;
    IShellView *view = NULL;
    IDispatch *background = NULL;
    IShellFolderViewDual *folderView = NULL;
    IDispatch *application = NULL;
    IShellDispatch2 *shell = NULL;
    VARIANT none;
    VariantInit(&none);
    long window = 0;
    if (SUCCEEDED(
            CoCreateInstance(CLSID_ShellWindows, NULL, CLSCTX_LOCAL_SERVER, IID_IShellWindows, (void **)&windows)) &&
        windows->FindWindowSW(&none, &none, SWC_DESKTOP, &window, SWFO_NEEDDISPATCH, &desktop) == S_OK &&
        desktop != NULL && SUCCEEDED(desktop->QueryInterface(IID_IServiceProvider, (void **)&provider)) &&
        SUCCEEDED(provider->QueryService(SID_STopLevelBrowser, IID_IShellBrowser, (void **)&browser)) &&
        SUCCEEDED(browser->QueryActiveShellView(&view)) &&
        SUCCEEDED(view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, (void **)&background)) &&
        SUCCEEDED(background->QueryInterface(IID_IShellFolderViewDual, (void **)&folderView)) &&
        SUCCEEDED(folderView->get_Application(&application)) && application != NULL)
        (void)application->QueryInterface(IID_IShellDispatch2, (void **)&shell);
    IUnknown *used[] = {application, folderView, background, view, browser, provider, desktop, windows};
    for (IUnknown *object : used) {
        if (object != NULL)
            object->Release();
    }
    return shell;
}

// The one shell start of the process, shared with the thread that makes it: the thread only
// ever moves `stage` forward, and the caller reads it once the thread ends or the wait is over.
static struct {
    wchar_t file[MAX_PATH * 2];
    wchar_t folder[MAX_PATH * 2];
    volatile LONG stage; // a ShellStart; SHELL_START_TIMED_OUT while nothing is decided
    volatile LONG asked; // nonzero once the shell's ShellExecute is called
} g_shellStart;

static DWORD WINAPI StartThroughShellThread(LPVOID unused)
{
    (void)unused;
    HRESULT initialized = CoInitializeEx(NULL, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    IShellDispatch2 *shell = DesktopShell();
    bool started = false;
    if (shell != NULL) {
        VARIANT none;
        VARIANT directory;
        VARIANT show;
        VariantInit(&none);
        VariantInit(&directory);
        VariantInit(&show);
        directory.vt = VT_BSTR;
        directory.bstrVal = SysAllocString(g_shellStart.folder);
        show.vt = VT_I4;
        show.lVal = SW_SHOW;
        BSTR program = SysAllocString(g_shellStart.file);
        (void)InterlockedExchange(&g_shellStart.asked, program != NULL && directory.bstrVal != NULL ? 1 : 0);
        started = program != NULL && directory.bstrVal != NULL &&
                  SUCCEEDED(shell->ShellExecute(program, none, directory, none, show));
        SysFreeString(program);
        VariantClear(&directory);
        shell->Release();
    }
    if (SUCCEEDED(initialized))
        CoUninitialize();
    (void)InterlockedExchange(&g_shellStart.stage, started                   ? SHELL_START_DONE
                                                   : g_shellStart.asked != 0 ? SHELL_START_REFUSED
                                                                             : SHELL_START_UNREACHED);
    return 0;
}

ShellStart StartThroughDesktopShell(const wchar_t *path)
{
    memset((void *)&g_shellStart, 0, sizeof g_shellStart);
    g_shellStart.stage = SHELL_START_TIMED_OUT;
    if (wcslen(path) >= MAX_PATH * 2 || GetCurrentDirectoryW(MAX_PATH * 2, g_shellStart.folder) == 0)
        return SHELL_START_UNREACHED;
    wcscpy(g_shellStart.file, path);
    HANDLE thread = CreateThread(NULL, 0, StartThroughShellThread, NULL, 0, NULL);
    if (thread == NULL)
        return SHELL_START_UNREACHED;
    (void)WaitForSingleObject(thread, SHELL_START_WAIT_MS);
    (void)CloseHandle(thread);
    // Read atomically: after a timeout the thread may still be writing.
    return (ShellStart)InterlockedCompareExchange(&g_shellStart.stage, 0, 0);
}

// Writes the plain form of `extended` ("C:\...", "\\server\..."), which the shell and CreateProcess
// take, into `plain`: only when it is shorter than MAX_PATH and the system reads it back as
// `extended`, compared as the file system compares names (a name ending in a dot or a space
// would lose it, and name another file).
static bool PlainFormOf(const wchar_t *extended, wchar_t plain[MAX_PATH])
{
    memset(plain, 0, MAX_PATH * sizeof(wchar_t));
    bool share = _wcsnicmp(extended, L"\\\\?\\UNC\\", 8) == 0;
    const wchar_t *rest = extended + (share ? 7 : 4); // a share keeps one "\" of "UNC\"
    if (wcsncmp(extended, L"\\\\?\\", 4) != 0 || wcslen(rest) + (share ? 1 : 0) >= MAX_PATH)
        return false;
    if (share)
        plain[0] = L'\\';
    wcscat(plain, rest);
    wchar_t again[EXTENDED_PATH_SIZE];
    if (ExtendWidePath(plain, again) && CompareStringOrdinal(again, -1, extended, -1, TRUE) == CSTR_EQUAL)
        return true;
    memset(plain, 0, MAX_PATH * sizeof(wchar_t));
    return false;
}

bool LaunchablePath(const char *path, wchar_t launchable[MAX_PATH])
{
    wchar_t extended[EXTENDED_PATH_SIZE];
    wchar_t shortForm[EXTENDED_PATH_SIZE];
    memset(shortForm, 0, sizeof shortForm);
    if (!ToExtendedPath(path, extended))
        return false;
    if (PlainFormOf(extended, launchable))
        return true;
    DWORD length = OsGetShortPathNameW(extended, shortForm, EXTENDED_PATH_SIZE);
    return length != 0 && length < EXTENDED_PATH_SIZE && PlainFormOf(shortForm, launchable);
}

// True when the process `process` runs with a token that is not elevated.
static bool RunsUnelevated(HANDLE process)
{
    HANDLE token = NULL;
    TOKEN_ELEVATION elevation;
    DWORD size = 0;
    memset(&elevation, 0, sizeof elevation);
    bool unelevated = OpenProcessToken(process, TOKEN_QUERY, &token) != 0 &&
                      GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) != 0 &&
                      elevation.TokenIsElevated == 0;
    if (token != NULL)
        (void)CloseHandle(token);
    return unelevated;
}

LinkedStart StartWithLinkedToken(const wchar_t *path)
{
    HANDLE own = NULL;
    HANDLE primary = NULL;
    TOKEN_LINKED_TOKEN linked;
    DWORD size = 0;
    memset(&linked, 0, sizeof linked);
    // Without SeTcbPrivilege the linked token comes at the identification level, which Windows
    // does not make a primary token of: there the duplication fails, and nothing is started.
    bool ready = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own) != 0 &&
                 GetTokenInformation(own, TokenLinkedToken, &linked, sizeof linked, &size) != 0 &&
                 DuplicateTokenEx(linked.LinkedToken, TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY, NULL,
                                  SecurityImpersonation, TokenPrimary, &primary) != 0;
    wchar_t commandLine[MAX_PATH + 3];
    STARTUPINFOW startup;
    PROCESS_INFORMATION process;
    memset(commandLine, 0, sizeof commandLine);
    memset(&startup, 0, sizeof startup);
    memset(&process, 0, sizeof process);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOW;
    ready = ready && wcslen(path) < MAX_PATH;
    if (ready) {
        commandLine[0] = L'"';
        wcscat(wcscat(commandLine, path), L"\"");
    }
    bool created = ready && CreateProcessAsUserW(primary, path, commandLine, NULL, NULL, FALSE, CREATE_SUSPENDED, NULL,
                                                 NULL, &startup, &process) != 0;
    HANDLE opened[] = {own, linked.LinkedToken, primary};
    for (HANDLE handle : opened) {
        if (handle != NULL)
            (void)CloseHandle(handle);
    }
    if (!created)
        return LINKED_START_REFUSED;
    // Seen before it runs: a system that started it with another token than the one given
    // (Wine's CreateProcessWithTokenW does) would start it elevated.
    bool unelevated = RunsUnelevated(process.hProcess);
    if (unelevated)
        (void)ResumeThread(process.hThread);
    else
        (void)TerminateProcess(process.hProcess, 1);
    (void)CloseHandle(process.hThread);
    (void)CloseHandle(process.hProcess);
    return unelevated ? LINKED_START_DONE : LINKED_START_ELEVATED;
}

void LaunchProgram(const char *requestedPath)
{
    wchar_t path[MAX_PATH];
    if (!LaunchablePath(requestedPath, path))
        return;
    // Not elevated, or elevated without a limited token behind it (the built-in Administrator,
    // UAC turned off): the client starts as the updater runs. Failures are not reported.
    if (!RunsElevatedWithLimitedToken()) {
        (void)ShellExecuteW(NULL, NULL, path, NULL, NULL, SW_SHOW);
        return;
    }
    // Elevated with a limited token of the same user behind it: the client gets the limited
    // rights, or is not started. Through the shell while one runs (reaching its window list could
    // otherwise start one); once the shell was asked (it refused, or gave no answer in time and
    // may start it yet), nothing else is tried. Else by the limited token itself.
    if (GetShellWindow() != NULL && StartThroughDesktopShell(path) != SHELL_START_UNREACHED)
        return;
    (void)StartWithLinkedToken(path);
}
