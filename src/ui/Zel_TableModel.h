#pragma once

#include "data/Zel_TableBrowser.h"

#include <QAbstractTableModel>

class TZel_JobRunner;

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

// The rows of a table for a grid. Every database call runs as a job of the
// viewer's runner, never on the GUI thread: data() only asks for the window
// of ChunkRows rows around a row not yet read (blank until it arrives), and
// the rows are kept in a bounded cache. NULL is shown as "(NULL)" in grey
// italics, apart from empty text.
//
// Editing follows the table's states: a row being edited (its changes kept
// beside the row as it was read) or one new row being inserted; Post writes
// it, Cancel forgets it. A post that fails keeps the row and its changes.
// A value the column cannot take stays in its cell as typed, marked, and
// keeps the row from being posted until it is corrected, dropped or the
// edit cancelled. The grid changes when the database has answered.
//
// Failures of the jobs and of the view's own calls go to OnError.
class TZel_TableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int ChunkRows = 200;
    static constexpr int MaxCachedRows = 20000;
    static constexpr int IsNullRole = Qt::UserRole + 1;
    using Done = std::function<void(std::exception_ptr error)>;

    explicit TZel_TableModel(QObject* parent = nullptr);
    ~TZel_TableModel() override;

    // Where the model's database work runs; not owned, set once.
    void SetRunner(TZel_JobRunner* jobs) { m_jobs = jobs; }
    // The table to show, opened and counted (rowCount rows) by the caller's
    // job; nullptr shows nothing. The browser is used by the runner's jobs only.
    void SetBrowser(std::shared_ptr<TZel_TableBrowser> browser, int64_t rowCount = 0);
    TZel_TableBrowser* Browser() const { return m_browser.get(); }
    std::function<void(const std::exception& error)> OnError;

    // Rows that match the filter, as last counted.
    int64_t TableRows() const { return m_count; }
    // The filter the rows shown were selected by.
    const std::string& Filter() const { return m_filter; }
    // Whether the row at grid row row has been read.
    bool IsRowRead(int row) const;

    enum TState { Browse, Editing, Inserting };
    TState State() const { return m_state; }
    // Row of the grid being edited or inserted; -1 in browse state.
    int PendingRow() const;
    bool HasChanges() const;
    // Whether a post or delete is on its way to the database.
    bool IsWriting() const { return m_writing > 0; }

    // Both first post a pending row; while that is on its way or refused
    // nothing else starts (false).
    bool EditRow(int row);
    bool InsertRowAt(int row);
    // Writes the pending row; false when nothing needed writing or a value
    // was refused. A failure keeps the pending row and goes to OnError.
    bool Post();
    void Cancel();
    // Column of the first cell of the pending row whose typed text the
    // column refused; -1 when there is none.
    int RejectedColumn() const { return m_rejected.empty() ? -1 : m_rejected.begin()->first; }
    // Forgets the refused text of a cell: it shows its value again.
    void DropRejected(const QModelIndex& index);
    // Deletes the row in the table; the grid keeps it when that fails.
    void DeleteRowAt(int row);
    // Counts and rereads the rows; the grid keeps its rows where they are
    // (adding or removing only at the end) and the pending row. done gets
    // the failure instead of OnError.
    void Refresh(Done done = {});
    // Filter text of the filter language; when the table does not accept it
    // nothing changes and done (else OnError) gets the failure.
    void ApplyFilter(const std::string& filter, Done done = {});
    // The runner dropped the model's jobs: rows asked for and not yet read
    // stay blank until the next refresh; a pending row keeps its changes.
    void JobsCancelled();

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;
    bool submit() override;
    void revert() override;

signals:
    void StateChanged();

private:
    bool IsCell(const QModelIndex& index) const;
    // The table row behind a grid row, or nullptr (not yet read, or failed).
    const TZel_Row* RowAt(int row) const;
    // The row at position if read; else asks for its window.
    const TZel_Row* TableRow(int64_t position) const;
    void RequestWindow(int64_t chunk) const;
    void WindowRead(uint64_t generation, int64_t start, std::vector<TZel_Row> rows, std::exception_ptr error);
    int64_t TablePosition(int row) const;
    TZel_Value ValueAt(int row, int column) const;
    void Report(const std::exception& error) const;
    void Report(std::exception_ptr error) const;
    // Runs work on the runner with the browser; done on the GUI thread.
    void RunJob(std::function<void(TZel_TableBrowser& browser)> work, Done done) const;
    void ResetTo(int64_t count);
    void SetState(TState state);
    void EndEdit(int row);
    void Posted(int row, bool inserted);
    void CountedAfterRefresh(int64_t count);
    // Reports the refusal of the first refused cell; false when there is none.
    bool ReportRejected() const;

    TZel_JobRunner* m_jobs = nullptr;
    std::shared_ptr<TZel_TableBrowser> m_browser;
    std::string m_filter;
    int64_t m_count = 0;
    // Bumped whenever positions may no longer mean the rows they meant:
    // windows asked for before are dropped when they arrive.
    uint64_t m_generation = 1;
    mutable std::map<int64_t, TZel_Row> m_cache;
    mutable std::set<int64_t> m_failedChunks;
    mutable std::set<int64_t> m_requestedChunks;
    int m_writing = 0;

    TState m_state = Browse;
    int m_pendingRow = -1;
    TZel_Row m_original;
    TZel_RowChanges m_changes;
    struct TRejected {
        QString Text;
        std::string Message;
    };
    // Refused cells of the pending row, by column.
    std::map<int, TRejected> m_rejected;
};
