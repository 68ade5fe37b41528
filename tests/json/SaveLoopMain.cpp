// Test helper: saves the settings file given on the command line through JsonFile, in a loop,
// alternately with the two documents of SaveLoopDoc.h, until it is killed. The file must exist
// (it is loaded first, as the agent's settings step does).
//   JsonSaveLoop.exe <settings file> <name of an event to set once saving starts>
#include <windows.h>

#include "common/GpHandles.h"
#include "json/JsonFile.h"
#include "tests/json/SaveLoopDoc.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3)
        return 2;
    JsonFile docs[2];
    const wchar_t generations[2] = {L'A', L'B'};
    for (int i = 0; i < 2; i++)
    {
        if (docs[i].Load(argv[1]) != 1 || docs[i].Parse(SaveLoopText(generations[i]).c_str()) < 0)
            return 3;
    }
    GpKernelHandle ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[2]));
    if (ready)
        SetEvent(ready.Get());
    for (unsigned n = 0;; n++)
    {
        if (docs[n % 2].Save() != 1)
            return 4;
    }
}
