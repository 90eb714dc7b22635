// Saving one session section into a configuration file that already holds
// 32 sessions: key by key (each write a full, synced replace of the file) and
// as one batch (a single replace).

#include <benchmark/benchmark.h>

#include <QTemporaryDir>

#include "base/IniFile.h"
#include "data/SessionDefinition.h"
#include "data/Zel_ODBCSession.h"

namespace {

TSessionDefinition Definition(int round) {
    TSessionDefinition definition;
    definition.SessionName = "Stock count " + std::to_string(round); // every save changes the file
    definition.Enabled = true;
    definition.DSN = "Warehouse";
    definition.Tablename = "Stock";
    definition.KeyFieldName = "ItemNo";
    for (int n = 1; n <= 30; ++n)
        definition.FieldNames.push_back(n <= 10 ? "Column" + std::to_string(n) : "");
    definition.IndexFieldNames = {"ItemNo", "Lot"};
    return definition;
}

struct Fixture {
    QTemporaryDir dir;
    TIniFile ini{dir.filePath(QStringLiteral("ZelWireless.ini")).toStdString()};
    Fixture() {
        for (int session = 1; session <= 32; ++session)
            Definition(0).Write(ini, session);
    }
};

void BM_SessionSaveKeyByKey(benchmark::State& state) {
    Fixture fixture;
    int round = 0;
    for (auto _ : state) {
        const TSessionDefinition definition = Definition(++round);
        const std::string section = TZel_ODBCSession::SectionNameOf(2);
        fixture.ini.WriteString(section, TSessionDefinition::KeyName(TSessionKey::SessionName),
                                definition.SessionName);
        for (int n = 1; n <= 30; ++n)
            fixture.ini.WriteString(section, TSessionDefinition::DeviceFieldKey(n),
                                    definition.FieldNames[size_t(n - 1)] + std::to_string(round));
        for (int key = int(TSessionKey::Enabled); key <= int(TSessionKey::FilterFromDeviceValue); ++key)
            fixture.ini.WriteString(section, TSessionDefinition::KeyName(TSessionKey(key)),
                                    std::to_string(round));
    }
}
BENCHMARK(BM_SessionSaveKeyByKey)->Unit(benchmark::kMillisecond);

void BM_SessionSaveBatch(benchmark::State& state) {
    Fixture fixture;
    int round = 0;
    for (auto _ : state)
        Definition(++round).Write(fixture.ini, 2);
}
BENCHMARK(BM_SessionSaveBatch)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
