#include "LoadOptions.h"
#include "LoadRun.h"
#include "RaceRun.h"

// zel-load: many simulated handhelds in one process, see --help.
int main(int argc, char* argv[]) {
    const TLoadOptions options = ParseLoadOptions(argc, argv);
    if (options.RaceKeys > 0) {
        TRaceRun race(options);
        return race.Run();
    }
    TLoadRun run(options);
    return run.Run();
}
