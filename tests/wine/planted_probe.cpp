// A DLL that a program's own folder holds, as a game folder might: what the updater must not load.
extern "C" __declspec(dllexport) int PlantedProbe()
{
    return 1;
}
