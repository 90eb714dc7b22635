#include "E2eProcess.h"

#include "support/Files.h"

std::string ServerProgram() {
    return ZEL_BINARY_DIR "/ZelWireless";
}

std::string PdaProgram() {
    return ZEL_BINARY_DIR "/zel-pda";
}

TProgramRun RunProgram(const std::vector<std::string>& args, const TTempFolder& folder, int timeoutMs) {
    static int serial = 0;
    const std::string base = folder.File("run-" + std::to_string(++serial));
    TChildProcess child;
    TProgramRun run;
    if (!child.Start(args, folder.PrivateEnvironment(), base + ".out", base + ".err")) {
        run.Err = "cannot start " + args.at(0);
        return run;
    }
    run.ExitCode = child.Wait(timeoutMs).value_or(-1);
    child.Kill();
    run.Out = ReadAll(base + ".out");
    run.Err = ReadAll(base + ".err");
    return run;
}
