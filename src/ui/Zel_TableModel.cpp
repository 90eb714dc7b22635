#include "ui/Zel_TableModel.h"

#include "data/Zel_JobRunner.h"
#include "data/odbc/DatabaseError.h"

#include <QBrush>
#include <QColor>
#include <QFont>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <stdexcept>

namespace {

const QString kNullText = QStringLiteral("(NULL)");
// The light rose of the viewer's error pane.
const QColor kRejectedColour(255, 223, 223);

int ToInt(int64_t value) {
    return static_cast<int>(std::min<int64_t>(value, std::numeric_limits<int>::max() - 1));
}

} // namespace

TZel_TableModel::TZel_TableModel(QObject* parent) : QAbstractTableModel(parent) {}

TZel_TableModel::~TZel_TableModel() = default;

void TZel_TableModel::Report(const std::exception& error) const {
    if (OnError)
        OnError(error);
}

void TZel_TableModel::Report(std::exception_ptr error) const {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& failure) {
        Report(failure);
    } catch (...) {
        Report(std::runtime_error("Unknown failure"));
    }
}

void TZel_TableModel::RunJob(std::function<void(TZel_TableBrowser& browser)> work, Done done) const {
    if (!m_jobs || !m_browser)
        return;
    // The job keeps the browser (and its connection) while it runs, even
    // when the model has moved on to another.
    m_jobs->Run([browser = m_browser, work = std::move(work)](TZel_JobRunner::TControl&) { work(*browser); },
                std::move(done));
}

void TZel_TableModel::SetState(TState state) {
    m_state = state;
    emit StateChanged();
}

void TZel_TableModel::ResetTo(int64_t count) {
    beginResetModel();
    ++m_generation;
    m_cache.clear();
    m_failedChunks.clear();
    m_requestedChunks.clear();
    m_state = Browse;
    m_pendingRow = -1;
    m_original.clear();
    m_changes.clear();
    m_rejected.clear();
    m_count = count;
    endResetModel();
    emit StateChanged();
}

void TZel_TableModel::SetBrowser(std::shared_ptr<TZel_TableBrowser> browser, int64_t rowCount) {
    m_browser = std::move(browser);
    m_filter = m_browser ? m_browser->Filter() : std::string();
    m_writing = 0;
    ResetTo(m_browser ? rowCount : 0);
}

void TZel_TableModel::ApplyFilter(const std::string& filter, Done done) {
    if (!m_browser)
        return;
    if (!m_rejected.empty()) {
        // The rows are read anew with the filter: the refused text would go.
        const TRejected& first = m_rejected.begin()->second;
        const auto error = std::make_exception_ptr(EDatabaseError(first.Message));
        if (done)
            done(error);
        else
            Report(error);
        return;
    }
    if (m_state != Browse)
        Post();
    auto count = std::make_shared<int64_t>(0);
    RunJob(
        [filter, count](TZel_TableBrowser& browser) {
            const std::string previous = browser.Filter();
            browser.SetFilter(filter);
            try {
                *count = browser.RowCount();
            } catch (...) {
                browser.SetFilter(previous);
                throw;
            }
        },
        [this, filter, count, done](std::exception_ptr error) {
            if (!error) {
                m_filter = filter;
                ResetTo(*count);
            }
            if (done)
                done(error);
            else if (error)
                Report(error);
        });
}

void TZel_TableModel::sort(int column, Qt::SortOrder order) {
    if (!m_browser || ReportRejected())
        return;
    if (m_state != Browse)
        Post();
    std::vector<TZel_SortField> fields;
    if (column >= 0)
        fields.push_back({column, order == Qt::DescendingOrder});
    auto count = std::make_shared<int64_t>(0);
    RunJob(
        [fields, count](TZel_TableBrowser& browser) {
            browser.SetSort(fields);
            *count = browser.RowCount();
        },
        [this, count](std::exception_ptr error) {
            if (error)
                Report(error);
            else
                ResetTo(*count);
        });
}

void TZel_TableModel::JobsCancelled() {
    m_failedChunks.insert(m_requestedChunks.begin(), m_requestedChunks.end());
    m_requestedChunks.clear();
    m_writing = 0;
    ++m_generation;
}

// --- rows ---

int TZel_TableModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid() || !m_browser)
        return 0;
    return ToInt(m_count + (m_state == Inserting ? 1 : 0));
}

int TZel_TableModel::columnCount(const QModelIndex& parent) const {
    if (parent.isValid() || !m_browser)
        return 0;
    return static_cast<int>(m_browser->Fields().size());
}

bool TZel_TableModel::IsCell(const QModelIndex& index) const {
    return index.isValid() && index.model() == this && index.row() < rowCount() &&
           index.column() < columnCount();
}

int64_t TZel_TableModel::TablePosition(int row) const {
    if (m_state == Inserting && row > m_pendingRow)
        return row - 1;
    return row;
}

const TZel_Row* TZel_TableModel::TableRow(int64_t position) const {
    if (!m_browser || position < 0 || position >= m_count)
        return nullptr;
    auto found = m_cache.find(position);
    if (found != m_cache.end())
        return &found->second;
    const int64_t chunk = position / ChunkRows;
    if (!m_failedChunks.count(chunk) && !m_requestedChunks.count(chunk))
        RequestWindow(chunk);
    return nullptr;
}

void TZel_TableModel::RequestWindow(int64_t chunk) const {
    if (!m_jobs)
        return;
    m_requestedChunks.insert(chunk);
    const int64_t start = chunk * ChunkRows;
    auto rows = std::make_shared<std::vector<TZel_Row>>();
    auto* self = const_cast<TZel_TableModel*>(this);
    RunJob([start, rows, count = m_count](
               TZel_TableBrowser& browser) { *rows = browser.ReadWindow(start, ChunkRows, count); },
           [self, generation = m_generation, start, rows](std::exception_ptr error) {
               self->WindowRead(generation, start, std::move(*rows), error);
           });
}

void TZel_TableModel::WindowRead(uint64_t generation, int64_t start, std::vector<TZel_Row> rows,
                                 std::exception_ptr error) {
    if (generation != m_generation)
        return; // asked for before the rows moved; the view asks again
    const int64_t chunk = start / ChunkRows;
    m_requestedChunks.erase(chunk);
    if (error) {
        // Shown once; the rows stay blank until the next refresh.
        m_failedChunks.insert(chunk);
        Report(error);
        return;
    }
    if (static_cast<int64_t>(m_cache.size()) + ChunkRows > MaxCachedRows) {
        // Keep the rows around the window read; the view shows few at a time.
        const int64_t keep = MaxCachedRows / 2 - ChunkRows;
        for (auto it = m_cache.begin(); it != m_cache.end();)
            it = std::llabs(it->first - start) > keep ? m_cache.erase(it) : std::next(it);
    }
    for (size_t i = 0; i < rows.size(); ++i)
        m_cache[start + static_cast<int64_t>(i)] = std::move(rows[i]);
    if (rows.empty() || columnCount() == 0)
        return;
    const int64_t last = start + static_cast<int64_t>(rows.size()) - 1;
    const bool shifted = m_state == Inserting;
    const int first = ToInt(start + (shifted && start >= m_pendingRow ? 1 : 0));
    const int end = std::min(ToInt(last + (shifted ? 1 : 0)), rowCount() - 1);
    if (first <= end)
        emit dataChanged(index(first, 0), index(end, columnCount() - 1));
}

bool TZel_TableModel::IsRowRead(int row) const {
    if (m_state != Browse && row == m_pendingRow)
        return true;
    const int64_t position = TablePosition(row);
    return m_cache.count(position) > 0;
}

const TZel_Row* TZel_TableModel::RowAt(int row) const {
    if (m_state == Editing && row == m_pendingRow)
        return &m_original;
    if (m_state == Inserting && row == m_pendingRow)
        return nullptr;
    return TableRow(TablePosition(row));
}

TZel_Value TZel_TableModel::ValueAt(int row, int column) const {
    const size_t c = static_cast<size_t>(column);
    if (m_state != Browse && row == m_pendingRow && c < m_changes.size() && m_changes[c])
        return *m_changes[c];
    if (m_state == Inserting && row == m_pendingRow)
        return TZel_Value{std::string(), true};
    const TZel_Row* values = RowAt(row);
    if (!values || c >= values->size())
        return TZel_Value{std::string(), true};
    return (*values)[c];
}

QVariant TZel_TableModel::data(const QModelIndex& index, int role) const {
    if (!IsCell(index))
        return QVariant();
    if (m_state != Browse && index.row() == m_pendingRow) {
        const auto rejected = m_rejected.find(index.column());
        if (rejected != m_rejected.end()) {
            // The operator's text as typed, marked until it is put right.
            switch (role) {
            case Qt::DisplayRole:
            case Qt::EditRole:
                return rejected->second.Text;
            case Qt::BackgroundRole:
                return QBrush(kRejectedColour);
            case Qt::ToolTipRole:
                return QString::fromStdString(rejected->second.Message);
            case IsNullRole:
                return false;
            default:
                return QVariant();
            }
        }
    }
    if (role != Qt::DisplayRole && role != Qt::EditRole && role != IsNullRole && role != Qt::ForegroundRole &&
        role != Qt::FontRole)
        return QVariant();
    const bool unread = !(m_state == Inserting && index.row() == m_pendingRow) &&
                        !(m_state != Browse && index.row() == m_pendingRow) && !RowAt(index.row());
    if (unread)
        return QVariant();
    const TZel_Value value = ValueAt(index.row(), index.column());
    switch (role) {
    case Qt::DisplayRole:
        return value.IsNull ? kNullText : QString::fromStdString(value.Text);
    case Qt::EditRole:
        return value.IsNull ? QString() : QString::fromStdString(value.Text);
    case IsNullRole:
        return value.IsNull;
    case Qt::ForegroundRole:
        return value.IsNull ? QVariant(QBrush(QColor(Qt::gray))) : QVariant();
    case Qt::FontRole:
        if (value.IsNull) {
            QFont font;
            font.setItalic(true);
            return font;
        }
        return QVariant();
    default:
        return QVariant();
    }
}

QVariant TZel_TableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole || !m_browser)
        return QVariant();
    if (orientation == Qt::Horizontal) {
        if (section < 0 || static_cast<size_t>(section) >= m_browser->Fields().size())
            return QVariant();
        return QString::fromStdString(m_browser->Fields()[static_cast<size_t>(section)].Name);
    }
    // Rows are numbered in the table's order; the new row has no number yet.
    if (section < 0 || section >= rowCount())
        return QVariant();
    if (m_state == Inserting && section == m_pendingRow)
        return QStringLiteral("*");
    const QString number = QString::number(TablePosition(section) + 1);
    if (m_state == Editing && section == m_pendingRow)
        return QStringLiteral("I ") + number;
    return number;
}

Qt::ItemFlags TZel_TableModel::flags(const QModelIndex& index) const {
    if (!IsCell(index))
        return Qt::NoItemFlags;
    // No edit starts while a row is on its way to the database.
    return Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemNeverHasChildren |
           (IsWriting() ? Qt::NoItemFlags : Qt::ItemIsEditable);
}

// --- editing ---

int TZel_TableModel::PendingRow() const {
    return m_state == Browse ? -1 : m_pendingRow;
}

bool TZel_TableModel::HasChanges() const {
    return std::any_of(m_changes.begin(), m_changes.end(),
                       [](const auto& change) { return change.has_value(); });
}

bool TZel_TableModel::EditRow(int row) {
    if (!m_browser || row < 0 || row >= rowCount() || IsWriting())
        return false;
    if (m_state != Browse && row == m_pendingRow)
        return true;
    if (m_state != Browse) {
        // The pending row goes first; its answer (or its refusal) comes before another edit.
        Post();
        return false;
    }
    const TZel_Row* values = RowAt(row);
    if (!values)
        throw EDatabaseError("Cannot edit: the row could not be read");
    m_original = *values;
    m_changes.assign(m_browser->Fields().size(), std::nullopt);
    m_pendingRow = row;
    SetState(Editing);
    emit headerDataChanged(Qt::Vertical, row, row);
    return true;
}

bool TZel_TableModel::InsertRowAt(int row) {
    if (!m_browser || IsWriting())
        return false;
    if (m_state != Browse) {
        Post();
        return false;
    }
    row = std::clamp(row, 0, rowCount());
    beginInsertRows(QModelIndex(), row, row);
    m_pendingRow = row;
    m_original.clear();
    m_changes.assign(m_browser->Fields().size(), std::nullopt);
    m_state = Inserting;
    endInsertRows();
    emit StateChanged();
    return true;
}

bool TZel_TableModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::EditRole || !IsCell(index) || IsWriting())
        return false;
    try {
        const int row = index.row();
        if ((m_state == Browse || row != m_pendingRow) && !EditRow(row))
            return false;
        const size_t column = static_cast<size_t>(index.column());
        const TZel_FieldDef& field = m_browser->Fields().at(column);
        const TZel_Value original =
            m_state == Editing ? m_original.at(column) : TZel_Value{std::string(), true};
        TZel_Value wanted{value.toString().toStdString(), value.isNull()};
        // An empty text is NULL in a field that holds no text, and leaves a
        // NULL text alone: closing the cell editor of a NULL must not turn it
        // into empty text.
        if (!wanted.IsNull && wanted.Text.empty() &&
            (field.Class() != TZel_FieldClass::Text || original.IsNull))
            wanted.IsNull = true;
        try {
            m_browser->CheckValue(static_cast<int>(column), wanted);
        } catch (const EDatabaseError& refused) {
            // Kept as typed, so that the operator puts it right rather than
            // types it again; the row is not posted meanwhile.
            m_rejected[index.column()] = TRejected{value.toString(), refused.what()};
            emit dataChanged(index, index);
            throw;
        }
        m_rejected.erase(index.column());
        if (wanted == original && m_state == Editing)
            m_changes[column].reset();
        else
            m_changes[column] = wanted;
        emit dataChanged(index, index);
        return true;
    } catch (const std::exception& error) {
        Report(error);
        return false;
    }
}

bool TZel_TableModel::Post() {
    if (m_state == Browse || !m_browser || IsWriting())
        return false;
    if (ReportRejected())
        return false;
    const int row = m_pendingRow;
    if (!HasChanges()) {
        // Nothing to write; a new row nobody typed into is dropped, not written empty.
        Cancel();
        return false;
    }
    const bool inserting = m_state == Inserting;
    ++m_writing;
    RunJob(
        [original = m_original, changes = m_changes, inserting](TZel_TableBrowser& browser) {
            if (inserting)
                browser.InsertRow(changes);
            else
                browser.UpdateRow(original, changes);
        },
        [this, row, inserting](std::exception_ptr error) {
            --m_writing;
            if (error) {
                // The row keeps its changes for another try.
                Report(error);
                return;
            }
            Posted(row, inserting);
        });
    return true;
}

// The pending row was written: the grid shows it as written.
void TZel_TableModel::Posted(int row, bool inserted) {
    if (!inserted) {
        auto cached = m_cache.find(TablePosition(row));
        if (cached != m_cache.end())
            for (size_t i = 0; i < m_changes.size() && i < cached->second.size(); ++i)
                if (m_changes[i])
                    cached->second[i] = *m_changes[i];
        EndEdit(row);
        return;
    }
    // The new row stands where it was typed until the next refresh puts the
    // rows in order; the row count grows by the one the grid already shows.
    std::map<int64_t, TZel_Row> shifted;
    TZel_Row values(m_browser->Fields().size(), TZel_Value{std::string(), true});
    for (size_t i = 0; i < m_changes.size() && i < values.size(); ++i)
        if (m_changes[i])
            values[i] = *m_changes[i];
    for (auto& [position, cachedValues] : m_cache)
        shifted[position >= row ? position + 1 : position] = std::move(cachedValues);
    shifted[row] = std::move(values);
    m_cache = std::move(shifted);
    // Windows on their way were read before the row was there.
    ++m_generation;
    m_requestedChunks.clear();
    m_failedChunks.clear();
    m_count += 1;
    m_changes.clear();
    m_rejected.clear();
    m_pendingRow = -1;
    m_state = Browse;
    emit StateChanged();
    emit headerDataChanged(Qt::Vertical, row, row);
    emit dataChanged(index(row, 0), index(row, columnCount() - 1));
}

void TZel_TableModel::Cancel() {
    const int row = m_pendingRow;
    if (m_state == Inserting) {
        beginRemoveRows(QModelIndex(), row, row);
        m_state = Browse;
        m_pendingRow = -1;
        m_changes.clear();
        m_rejected.clear();
        endRemoveRows();
        emit StateChanged();
    } else if (m_state == Editing) {
        EndEdit(row);
    }
}

bool TZel_TableModel::ReportRejected() const {
    if (m_rejected.empty())
        return false;
    Report(EDatabaseError(m_rejected.begin()->second.Message));
    return true;
}

void TZel_TableModel::DropRejected(const QModelIndex& index) {
    if (!IsCell(index) || index.row() != PendingRow() || m_rejected.erase(index.column()) == 0)
        return;
    emit dataChanged(index, index);
}

// Back to browsing after an edit of row was posted or cancelled: the row is
// drawn again from the cache, without its edit mark.
void TZel_TableModel::EndEdit(int row) {
    m_changes.clear();
    m_rejected.clear();
    m_original.clear();
    m_pendingRow = -1;
    SetState(Browse);
    emit headerDataChanged(Qt::Vertical, row, row);
    emit dataChanged(index(row, 0), index(row, columnCount() - 1));
}

bool TZel_TableModel::submit() {
    try {
        Post();
        return true;
    } catch (const std::exception& error) {
        Report(error);
        return false;
    }
}

void TZel_TableModel::revert() {
    // Leaving a cell editor with Escape forgets that cell only; the row
    // keeps its other changes until Post or Cancel.
}

void TZel_TableModel::DeleteRowAt(int row) {
    if (!m_browser || row < 0 || row >= rowCount() || IsWriting())
        return;
    if (m_state == Inserting && row == m_pendingRow) {
        Cancel();
        return;
    }
    if (m_state == Editing && row == m_pendingRow) {
        Cancel();
    } else if (m_state != Browse) {
        // The row pending is written first; the delete is asked for again after it.
        Post();
        return;
    }
    const int64_t position = TablePosition(row);
    const TZel_Row* values = TableRow(position);
    if (!values)
        throw EDatabaseError("Cannot delete: the row could not be read");
    ++m_writing;
    RunJob([values = *values](TZel_TableBrowser& browser) { browser.DeleteRow(values); },
           [this, position](std::exception_ptr error) {
               --m_writing;
               if (error) {
                   Report(error);
                   return;
               }
               if (position >= m_count)
                   return;
               const int gridRow = ToInt(position);
               beginRemoveRows(QModelIndex(), gridRow, gridRow);
               std::map<int64_t, TZel_Row> shifted;
               for (auto& [at, rowValues] : m_cache)
                   if (at != position)
                       shifted[at > position ? at - 1 : at] = std::move(rowValues);
               m_cache = std::move(shifted);
               // Windows on their way were read before the row went.
               ++m_generation;
               m_requestedChunks.clear();
               m_failedChunks.clear();
               m_count -= 1;
               endRemoveRows();
           });
}

void TZel_TableModel::Refresh(Done done) {
    if (!m_browser) {
        if (done)
            done(nullptr);
        return;
    }
    auto count = std::make_shared<int64_t>(0);
    RunJob([count](TZel_TableBrowser& browser) { *count = browser.RowCount(); },
           [this, count, done](std::exception_ptr error) {
               if (!error)
                   CountedAfterRefresh(*count);
               if (done)
                   done(error);
               else if (error)
                   Report(error);
           });
}

void TZel_TableModel::CountedAfterRefresh(int64_t count) {
    const int before = rowCount();
    const int after = ToInt(count + (m_state == Inserting ? 1 : 0));
    if (after > before) {
        beginInsertRows(QModelIndex(), before, after - 1);
        m_count = count;
        endInsertRows();
    } else if (after < before) {
        // Rows go from the end; a pending row beyond the new end becomes the last row.
        beginRemoveRows(QModelIndex(), after, before - 1);
        m_count = count;
        if (m_state != Browse && m_pendingRow >= after) {
            m_pendingRow = after - 1;
            if (m_pendingRow < 0) {
                m_state = Browse;
                m_changes.clear();
                m_original.clear();
                m_rejected.clear();
            }
        }
        endRemoveRows();
    } else {
        m_count = count;
    }
    ++m_generation;
    m_cache.clear();
    m_failedChunks.clear();
    m_requestedChunks.clear();
    if (after > 0 && columnCount() > 0) {
        emit dataChanged(index(0, 0), index(after - 1, columnCount() - 1));
        emit headerDataChanged(Qt::Vertical, 0, after - 1);
    }
}
