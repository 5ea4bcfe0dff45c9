// The Windows path layer, row by row: each composed path in its extended form, and where its
// folder part ends, under the ANSI code page the process runs with (1252 by default here, 932
// when started with a Japanese locale). Exit status 0 when every row that applies holds.
#include <stdio.h>
#include <string.h>
#include <string>
#include <windows.h>

#include "datafiles/file_list.h"
#include "platform/path_win.h"
#include "platform/platform.h"

static int g_failures = 0;

static void Expect(bool holds, const char *what)
{
    printf("%s: %s\n", holds ? "ok" : "FAILED", what);
    g_failures += holds ? 0 : 1;
}

int main()
{
    const std::string name259 = "C:\\" + std::string(250, 'f') + "\\x.dat";                           // 259 characters
    const std::string name383 = "C:\\" + std::string(250, 'f') + "\\" + std::string(127, 'n') + ".d"; // 383
    const struct {
        std::string path;
        const wchar_t *extended; // empty: its length is told instead; NULL: it has none
        UINT codePage;           // 0: any
    } rows[] = {
        {"C:\\Games\\Orvo\\Data.pak", L"\\\\?\\C:\\Games\\Orvo\\Data.pak", 0},
        {"C:\\Games\\Orvo/Maps/one.map", L"\\\\?\\C:\\Games\\Orvo\\Maps\\one.map", 0},
        {"\\\\server\\share\\Orvo\\x.dat", L"\\\\?\\UNC\\server\\share\\Orvo\\x.dat", 0},
        {"C:\\Games\\", L"\\\\?\\C:\\Games\\", 0},
        {"D:\\", L"\\\\?\\D:\\", 0},
        // Device paths mean what they mean without their prefix; only drives and shares are taken.
        {"\\\\?\\C:\\Games\\Orvo/Maps/one.map", L"\\\\?\\C:\\Games\\Orvo\\Maps\\one.map", 0},
        {"\\\\.\\C:\\Games\\Orvo\\/x.dat", L"\\\\?\\C:\\Games\\Orvo\\x.dat", 0},
        {"//?/c:/Games/x.dat", L"\\\\?\\c:\\Games\\x.dat", 0},
        {"\\\\?\\C:", L"\\\\?\\C:\\", 0}, // the drive's root, as "\\?\C:" + "/x.dat" names its files
        {"\\\\.\\UNC\\server\\share\\Orvo/x.dat", L"\\\\?\\UNC\\server\\share\\Orvo\\x.dat", 0},
        {"\\\\?\\unc\\server\\share\\x.dat", L"\\\\?\\unc\\server\\share\\x.dat", 0},
        {"\\\\.\\Volume{00000000-0000-0000-0000-000000000043}\\Games\\x.dat", NULL, 0},
        {"\\\\?\\Volume{00000000-0000-0000-0000-000000000043}\\Games\\x.dat", NULL, 0},
        {"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\x.dat", NULL, 0},
        {"NUL", NULL, 0}, // "\\.\NUL"
        {"C:\\Caf\xE9\\x.dat", L"\\\\?\\C:\\Caf\u00E9\\x.dat", 1252},
        {"C:\\\x95\x5C\\x.dat", L"\\\\?\\C:\\\u8868\\x.dat", 932}, // Shift-JIS: a second byte of 0x5C
        {name259, L"", 0},
        {name383, L"", 0},
    };
    UINT codePage = GetACP();
    printf("ANSI code page %u\n", codePage);
    for (const auto &row : rows) {
        if (row.codePage != 0 && row.codePage != codePage)
            continue;
        wchar_t extended[EXTENDED_PATH_SIZE];
        bool converted = ToExtendedPath(row.path.c_str(), extended);
        bool holds = row.extended == NULL       ? !converted && extended[0] == L'\0'
                     : row.extended[0] == L'\0' ? converted && wcslen(extended) == 4 + row.path.size()
                                                : converted && wcscmp(row.extended, extended) == 0;
        Expect(holds, ("extended form of " + row.path.substr(0, 40)).c_str());
    }
    const struct {
        std::string path;
        size_t folderLength;
        UINT codePage;
    } folders[] = {
        {"C:\\x", 3, 0},
        {"\\x", 1, 0},
        {"C:\\Games\\Orvo/x", 13, 0},
        {"C:\\Games\\Orvo\\/x", 14, 0}, // a game folder written with a trailing separator
        {"\\\\?\\C:\\x", 7, 0},         // the root, not the volume "\\?\C:"
        {"\\\\.\\C:/x", 7, 0},
        {"//?/C:/Games/x", 12, 0},
        {"\\\\?\\UNC\\server\\share\\x", 20, 0},
        {"C:\\\x95\x5C\\x", 5, 932},
        {"C:\\\x95\x5Cx", 3, 932},  // one character: the folder is the root
        {"C:\\\x95\x5Cx", 4, 1252}, // two characters, the second a separator
    };
    for (const auto &row : folders) {
        if (row.codePage != 0 && row.codePage != codePage)
            continue;
        Expect(FolderPartLength(row.path.c_str()) == row.folderLength, ("folder part of " + row.path).c_str());
    }
    // The name check splits entries where the file system does: 0x95 0x5C is one Shift-JIS
    // character, not a folder and a separator.
    const struct {
        std::string name;
        FileListEntryVerdict verdict;
        UINT codePage;
    } names[] = {
        {".~upd-1-1~\x95\x5Cx.databcd", ENTRY_NAME_RESERVED, 932},
        {"\x95\x5C/x.databcd", ENTRY_INSTALLABLE, 932},
        {"\x95\x5C/x.databcd", ENTRY_NAME_EMPTY_PART, 1252},      // "\x95", "" and "x.dat" there
        {"\x83\x7C.databcd", ENTRY_INSTALLABLE, 932},             // Shift-JIS: a second byte of "|"
        {"\x83\x7C.databcd", ENTRY_NAME_WINDOWS_CHARACTER, 1252}, // "\x83" and "|" there
    };
    for (const auto &row : names) {
        if (row.codePage != codePage)
            continue;
        LenStringView name = {(const unsigned char *)row.name.data(), row.name.size(), row.name.size()};
        FileListEntryPaths paths;
        Expect(PrepareFileListEntry(&name, "C:\\Data", "C:\\Games", &paths) == row.verdict,
               ("name check of " + row.name).c_str());
    }
    return g_failures == 0 ? 0 : 1;
}
