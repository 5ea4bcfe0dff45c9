// Reads an executable's embedded manifest and version block back through the Windows API and
// checks them. Usage: resource_check PROGRAM.exe. Exit 0 when every check passes.
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include <string>

static int g_failures;

static void Check(bool passed, const char *what)
{
    printf("%s: %s\n", passed ? "ok" : "FAILED", what);
    if (!passed)
        ++g_failures;
}

// True when every tag opened in `xml` is closed in order (comments and declarations aside):
// a malformed manifest is accepted silently by Wine, so its shape is checked here.
static bool IsBalancedXml(const std::string &xml)
{
    std::string open[32];
    int depth = 0;
    for (size_t at = xml.find('<'); at != std::string::npos; at = xml.find('<', at + 1)) {
        size_t end = xml.find('>', at);
        if (end == std::string::npos)
            return false;
        std::string tag = xml.substr(at + 1, end - at - 1);
        if (tag.empty() || tag[0] == '?' || tag[0] == '!')
            continue;
        bool closing = tag[0] == '/';
        bool selfClosing = tag[tag.size() - 1] == '/';
        std::string name = tag.substr(closing ? 1 : 0);
        name = name.substr(0, name.find_first_of(" \t\r\n/"));
        if (closing) {
            if (depth == 0 || open[depth - 1] != name)
                return false;
            --depth;
        } else if (!selfClosing) {
            if (depth == 32)
                return false;
            open[depth++] = name;
        }
    }
    return depth == 0;
}

static std::string QueryString(void *block, const char *key)
{
    char *value = NULL;
    UINT length = 0;
    if (!VerQueryValueA(block, key, (void **)&value, &length) || value == NULL)
        return "<missing>";
    return std::string(value);
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: resource_check PROGRAM.exe\n");
        return 2;
    }
    HMODULE module = LoadLibraryExA(argv[1], NULL, LOAD_LIBRARY_AS_DATAFILE);
    Check(module != NULL, "executable loads as a data file");
    if (module == NULL)
        return 1;

    HRSRC manifestInfo = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    Check(manifestInfo != NULL, "manifest resource (type 24, id 1) present");
    if (manifestInfo != NULL) {
        HGLOBAL loaded = LoadResource(module, manifestInfo);
        const char *bytes = (const char *)LockResource(loaded);
        std::string manifest(bytes, SizeofResource(module, manifestInfo));
        Check(manifest.find("<requestedExecutionLevel level=\"highestAvailable\" uiAccess=\"false\"/>") !=
                  std::string::npos,
              "execution level highestAvailable, uiAccess false");
        Check(manifest.compare(0, 5, "<?xml") == 0, "manifest starts with an XML declaration");
        Check(IsBalancedXml(manifest), "manifest tags are balanced");
        Check(manifest.find("urn:schemas-microsoft-com:asm.v3") != std::string::npos,
              "trustInfo in the asm.v3 namespace");
    }
    FreeLibrary(module);

    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(argv[1], &ignored);
    Check(size > 0, "version block present");
    if (size == 0)
        return 1;
    std::string block(size, '\0');
    Check(GetFileVersionInfoA(argv[1], 0, size, &block[0]) != 0, "version block reads");

    VS_FIXEDFILEINFO *fixed = NULL;
    UINT fixedLength = 0;
    bool hasFixed = VerQueryValueA(&block[0], "\\", (void **)&fixed, &fixedLength) && fixed != NULL;
    Check(hasFixed, "fixed file info present");
    if (hasFixed) {
        Check(fixed->dwFileVersionMS == 0x00010000 && fixed->dwFileVersionLS == 0, "file version 1.0.0.0");
        Check(fixed->dwProductVersionMS == 0x00010000 && fixed->dwProductVersionLS == 0, "product version 1.0.0.0");
    }
    WORD *translation = NULL;
    UINT translationLength = 0;
    bool hasTranslation =
        VerQueryValueA(&block[0], "\\VarFileInfo\\Translation", (void **)&translation, &translationLength) &&
        translationLength >= 4;
    Check(hasTranslation && translation[0] == 0x0809 && translation[1] == 0x04b0, "translation 0809, 04b0");
    Check(QueryString(&block[0], "\\StringFileInfo\\080904b0\\FileVersion") == "1, 0, 0, 0",
          "FileVersion string \"1, 0, 0, 0\" under 080904b0");
    Check(QueryString(&block[0], "\\StringFileInfo\\080904b0\\ProductVersion") == "1, 0, 0, 0",
          "ProductVersion string \"1, 0, 0, 0\" under 080904b0");
    return g_failures == 0 ? 0 : 1;
}
