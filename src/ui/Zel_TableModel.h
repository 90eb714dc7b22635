#pragma once

#include "data/Zel_TableBrowser.h"

#include <QAbstractTableModel>

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <set>

// The rows of a table for a grid, read in windows of ChunkRows as the view
// asks for them and kept in a bounded cache; no statement stays open between
// events. NULL is shown as "(NULL)" in grey italics, apart from empty text.
//
// Editing follows the table's states: a row being edited (its changes kept
// beside the row as it was read) or one new row being inserted; Post writes
// it, Cancel forgets it. A post that fails keeps the row and its changes.
//
// Operations the viewer calls raise the data layer's errors; failures inside
// the view's own calls (data, setData, submit) go to OnError.
class TZel_TableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int ChunkRows = 200;
    static constexpr int MaxCachedRows = 20000;
    static constexpr int IsNullRole = Qt::UserRole + 1;

    explicit TZel_TableModel(QObject* parent = nullptr);
    ~TZel_TableModel() override;

    // The table to show, not owned; nullptr shows nothing. Counts its rows.
    void SetBrowser(TZel_TableBrowser* browser);
    TZel_TableBrowser* Browser() const { return m_browser; }
    std::function<void(const std::exception& error)> OnError;

    // Rows that match the filter, as last counted.
    int64_t TableRows() const { return m_count; }

    enum TState { Browse, Editing, Inserting };
    TState State() const { return m_state; }
    // Row of the grid being edited or inserted; -1 in browse state.
    int PendingRow() const;
    bool HasChanges() const;

    void EditRow(int row);
    void InsertRowAt(int row);
    // Writes the pending row; false when nothing needed writing. A failure
    // keeps the pending row and raises.
    bool Post();
    void Cancel();
    // Deletes the row in the table at once; the grid keeps it when that fails.
    void DeleteRowAt(int row);
    // Counts and rereads the rows; the grid keeps its rows where they are
    // (adding or removing only at the end) and the pending row.
    void Refresh();
    // Filter text of the filter language; raises (nothing changed) when the
    // table does not accept it.
    void ApplyFilter(const std::string& filter);

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
    const TZel_Row* TableRow(int64_t position) const;
    int64_t TablePosition(int row) const;
    TZel_Value ValueAt(int row, int column) const;
    void Report(const std::exception& error) const;
    void ResetTo(const std::function<void()>& change);
    void SetState(TState state);
    void EndEdit(int row);

    TZel_TableBrowser* m_browser = nullptr;
    int64_t m_count = 0;
    mutable std::map<int64_t, TZel_Row> m_cache;
    mutable std::set<int64_t> m_failedChunks;
    // While rows are added or removed, rows not yet read stay unread, so
    // that the view sees the same rows before and after the change.
    bool m_frozen = false;

    TState m_state = Browse;
    int m_pendingRow = -1;
    TZel_Row m_original;
    TZel_RowChanges m_changes;
};
