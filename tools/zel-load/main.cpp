#include "LoadOptions.h"
#include "LoadRun.h"

// zel-load: many simulated handhelds in one process, see --help.
int main(int argc, char* argv[]) {
    const TLoadOptions options = ParseLoadOptions(argc, argv);
    TLoadRun run(options);
    return run.Run();
}
