#include "updater/update_run.h"

int main(int argc, char **argv)
{
    return RunUpdater(argc, argv);
}
