// Entry point shared by the fuzzing programs: each links the one target it drives.
#include "fuzz/FuzzHarness.h"

lumofuzz::Target MakeTarget();

int wmain(int argc, wchar_t** argv)
{
    lumofuzz::Options options;
    if (!lumofuzz::ParseOptions(argc, argv, options))
        return 2;
    lumofuzz::PrepareProcess();
    lumofuzz::Target target = MakeTarget();
    int rc = lumofuzz::Run(target, options);
    lumofuzz::RemoveTree(lumofuzz::ScratchRoot());
    return rc;
}
