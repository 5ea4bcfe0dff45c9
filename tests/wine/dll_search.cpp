// Loads planted_probe.dll from the program's own folder, after HardenProcess unless "--plain" is
// given. Exit status 0 when it loaded, 1 when it did not.
#include <string.h>
#include <windows.h>

#include "platform/platform.h"

int main(int argc, char **argv)
{
    if (argc < 2 || strcmp(argv[1], "--plain") != 0)
        HardenProcess();
    return LoadLibraryA("planted_probe.dll") != NULL ? 0 : 1;
}
