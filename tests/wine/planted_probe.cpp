// A DLL in a program's own folder, as a game folder might hold one: the updater must not load it.
extern "C" __declspec(dllexport) int PlantedProbe()
{
    return 1;
}
