// zel-bench-data: writes the benchmark's stock table, row by row from the
// model the load generator checks against.
//   zel-bench-data sqlite FILE ROWS   creates FILE with the table and its indexes
//   zel-bench-data tsv ROWS           prints the rows for PostgreSQL's COPY
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "StockModel.h"

namespace {

const char* const kCreate = "CREATE TABLE stock ("
                            " ItemNo VARCHAR(20) PRIMARY KEY NOT NULL,"
                            " Description VARCHAR(60) NOT NULL,"
                            " Quantity INTEGER NOT NULL DEFAULT 0,"
                            " Price DECIMAL(10,2),"
                            " Location VARCHAR(12),"
                            " LastCounted DATE)";
const char* const kIndexes[] = {"CREATE INDEX stock_quantity ON stock (Quantity, ItemNo)",
                                "CREATE INDEX stock_location ON stock (Location)", "ANALYZE"};

void Exec(sqlite3* db, const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::fprintf(stderr, "zel-bench-data: %s: %s\n", sql, error ? error : "?");
        std::exit(1);
    }
}

int WriteSqlite(const std::string& file, int64_t rows) {
    std::remove(file.c_str());
    sqlite3* db = nullptr;
    if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) {
        std::fprintf(stderr, "zel-bench-data: cannot create %s\n", file.c_str());
        return 1;
    }
    Exec(db, "PRAGMA journal_mode = OFF");
    Exec(db, "PRAGMA synchronous = OFF");
    Exec(db, kCreate);
    Exec(db, "BEGIN");
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO stock VALUES (?, ?, ?, ?, ?, ?)", -1, &insert, nullptr);
    for (int64_t i = 1; i <= rows; ++i) {
        const TStockRow row = TStockModel::Row(i);
        const auto fields = row.Fields();
        for (int c = 0; c < 6; ++c)
            sqlite3_bind_text(insert, c + 1, fields[static_cast<size_t>(c)]->c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(insert) != SQLITE_DONE) {
            std::fprintf(stderr, "zel-bench-data: insert: %s\n", sqlite3_errmsg(db));
            return 1;
        }
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    Exec(db, "COMMIT");
    for (const char* sql : kIndexes)
        Exec(db, sql);
    Exec(db, "PRAGMA journal_mode = DELETE");
    sqlite3_close(db);
    return 0;
}

int WriteTsv(int64_t rows) {
    for (int64_t i = 1; i <= rows; ++i) {
        const TStockRow row = TStockModel::Row(i);
        std::printf("%s\t%s\t%s\t%s\t%s\t%s\n", row.ItemNo.c_str(), row.Description.c_str(),
                    row.Quantity.c_str(), row.Price.c_str(), row.Location.c_str(), row.LastCounted.c_str());
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char* argv[]) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "sqlite" && argc == 4)
        return WriteSqlite(argv[2], std::atoll(argv[3]));
    if (mode == "tsv" && argc == 3)
        return WriteTsv(std::atoll(argv[2]));
    std::fprintf(stderr, "usage: zel-bench-data sqlite FILE ROWS | zel-bench-data tsv ROWS\n");
    return 2;
}
