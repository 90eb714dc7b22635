// Freeing the ended connections of a large client list, as the monitor's
// refresh and the headless host do after a burst of disconnects: every other
// client has ended. One pass over the list, so the time per client stays the
// same as the list grows (the reported complexity should read "N").

#include <benchmark/benchmark.h>

#include <memory>

#include <QCoreApplication>

#include "server/WirelessClient.h"
#include "server/WirelessServer.h"

namespace {

void RemoveClosedClients(benchmark::State& state) {
    const auto count = static_cast<size_t>(state.range(0));
    TZelWirelessServer server(nullptr);
    for (auto _ : state) {
        state.PauseTiming();
        for (size_t i = 0; i < count; ++i) {
            server.Clients.push_back(std::make_unique<TZelWirelessClient>(&server));
            if (i % 2 == 0)
                server.Clients.back()->State = csClosed;
        }
        state.ResumeTiming();
        benchmark::DoNotOptimize(server.RemoveClosedClients());
        state.PauseTiming();
        server.Clients.clear();
        state.ResumeTiming();
    }
    state.SetComplexityN(static_cast<int64_t>(count));
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::RegisterBenchmark("RemoveClosedClients", RemoveClosedClients)
        ->RangeMultiplier(4)
        ->Range(1 << 10, 1 << 16)
        ->Complexity()
        ->Unit(benchmark::kMicrosecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
