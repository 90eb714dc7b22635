#include "ui/Zel_TableModel.h"

#include "data/odbc/DatabaseError.h"

#include <QBrush>
#include <QColor>
#include <QFont>

#include <algorithm>
#include <cstdlib>
#include <limits>

namespace {

const QString kNullText = QStringLiteral("(NULL)");

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

void TZel_TableModel::SetState(TState state) {
    m_state = state;
    emit StateChanged();
}

void TZel_TableModel::ResetTo(const std::function<void()>& change) {
    beginResetModel();
    m_cache.clear();
    m_failedChunks.clear();
    m_state = Browse;
    m_pendingRow = -1;
    m_original.clear();
    m_changes.clear();
    m_count = 0;
    try {
        change();
    } catch (...) {
        endResetModel();
        emit StateChanged();
        throw;
    }
    endResetModel();
    emit StateChanged();
}

void TZel_TableModel::SetBrowser(TZel_TableBrowser* browser) {
    ResetTo([&] {
        m_browser = browser;
        if (m_browser)
            m_count = m_browser->RowCount();
    });
}

void TZel_TableModel::ApplyFilter(const std::string& filter) {
    if (!m_browser)
        return;
    if (m_state != Browse)
        Post();
    const std::string previous = m_browser->Filter();
    m_browser->SetFilter(filter);
    ResetTo([&] {
        try {
            m_count = m_browser->RowCount();
        } catch (...) {
            m_browser->SetFilter(previous);
            m_count = m_browser->RowCount();
            throw;
        }
    });
}

void TZel_TableModel::sort(int column, Qt::SortOrder order) {
    if (!m_browser)
        return;
    try {
        if (m_state != Browse)
            Post();
        std::vector<TZel_SortField> fields;
        if (column >= 0)
            fields.push_back({column, order == Qt::DescendingOrder});
        m_browser->SetSort(fields);
        ResetTo([&] { m_count = m_browser->RowCount(); });
    } catch (const std::exception& error) {
        Report(error);
    }
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
    if (m_frozen || m_failedChunks.count(chunk))
        return nullptr;
    if (static_cast<int64_t>(m_cache.size()) + ChunkRows > MaxCachedRows) {
        // Keep the rows around the one asked for; the view shows few at a time.
        const int64_t keep = MaxCachedRows / 2 - ChunkRows;
        for (auto it = m_cache.begin(); it != m_cache.end();)
            it = std::llabs(it->first - position) > keep ? m_cache.erase(it) : std::next(it);
    }
    try {
        const int64_t start = chunk * ChunkRows;
        std::vector<TZel_Row> rows = m_browser->ReadWindow(start, ChunkRows, m_count);
        for (size_t i = 0; i < rows.size(); ++i)
            m_cache[start + static_cast<int64_t>(i)] = std::move(rows[i]);
    } catch (const std::exception& error) {
        // Shown once; the rows stay blank until the next refresh.
        m_failedChunks.insert(chunk);
        Report(error);
        return nullptr;
    }
    found = m_cache.find(position);
    return found == m_cache.end() ? nullptr : &found->second;
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
    if (m_state != Browse && section == m_pendingRow)
        return m_state == Inserting ? QStringLiteral("*") : QStringLiteral("I");
    return QVariant();
}

Qt::ItemFlags TZel_TableModel::flags(const QModelIndex& index) const {
    if (!IsCell(index))
        return Qt::NoItemFlags;
    return Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsEditable | Qt::ItemNeverHasChildren;
}

// --- editing ---

int TZel_TableModel::PendingRow() const {
    return m_state == Browse ? -1 : m_pendingRow;
}

bool TZel_TableModel::HasChanges() const {
    return std::any_of(m_changes.begin(), m_changes.end(),
                       [](const auto& change) { return change.has_value(); });
}

void TZel_TableModel::EditRow(int row) {
    if (!m_browser || row < 0 || row >= rowCount())
        return;
    if (m_state != Browse && row == m_pendingRow)
        return;
    if (m_state != Browse)
        Post();
    const TZel_Row* values = RowAt(row);
    if (!values)
        throw EDatabaseError("Cannot edit: the row could not be read");
    m_original = *values;
    m_changes.assign(m_browser->Fields().size(), std::nullopt);
    m_pendingRow = row;
    SetState(Editing);
    emit headerDataChanged(Qt::Vertical, row, row);
}

void TZel_TableModel::InsertRowAt(int row) {
    if (!m_browser)
        return;
    if (m_state != Browse)
        Post();
    row = std::clamp(row, 0, rowCount());
    beginInsertRows(QModelIndex(), row, row);
    m_pendingRow = row;
    m_original.clear();
    m_changes.assign(m_browser->Fields().size(), std::nullopt);
    m_state = Inserting;
    endInsertRows();
    emit StateChanged();
}

bool TZel_TableModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::EditRole || !IsCell(index))
        return false;
    try {
        const int row = index.row();
        if (m_state == Browse || row != m_pendingRow)
            EditRow(row);
        if (m_state == Browse)
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
        m_browser->CheckValue(static_cast<int>(column), wanted);
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
    if (m_state == Browse || !m_browser)
        return false;
    const int row = m_pendingRow;
    if (m_state == Editing) {
        const bool written = m_browser->UpdateRow(m_original, m_changes);
        auto cached = m_cache.find(TablePosition(row));
        if (written && cached != m_cache.end())
            for (size_t i = 0; i < m_changes.size(); ++i)
                if (m_changes[i])
                    cached->second[i] = *m_changes[i];
        EndEdit(row);
        return written;
    }
    if (!HasChanges()) {
        // A new row nobody typed into is dropped, not written empty.
        Cancel();
        return false;
    }
    m_browser->InsertRow(m_changes);
    // The new row stands where it was typed until the next refresh puts the
    // rows in order; the row count grows by the one the grid already shows.
    std::map<int64_t, TZel_Row> shifted;
    TZel_Row inserted(m_browser->Fields().size(), TZel_Value{std::string(), true});
    for (size_t i = 0; i < m_changes.size(); ++i)
        if (m_changes[i])
            inserted[i] = *m_changes[i];
    for (auto& [position, values] : m_cache)
        shifted[position >= row ? position + 1 : position] = std::move(values);
    shifted[row] = std::move(inserted);
    m_cache = std::move(shifted);
    m_failedChunks.clear();
    m_count += 1;
    m_changes.clear();
    m_pendingRow = -1;
    m_state = Browse;
    emit StateChanged();
    emit headerDataChanged(Qt::Vertical, row, row);
    emit dataChanged(index(row, 0), index(row, columnCount() - 1));
    return true;
}

void TZel_TableModel::Cancel() {
    const int row = m_pendingRow;
    if (m_state == Inserting) {
        beginRemoveRows(QModelIndex(), row, row);
        m_state = Browse;
        m_pendingRow = -1;
        m_changes.clear();
        endRemoveRows();
        emit StateChanged();
    } else if (m_state == Editing) {
        EndEdit(row);
    }
}

// Back to browsing after an edit of row was posted or cancelled: the row is
// drawn again from the cache, without its edit mark.
void TZel_TableModel::EndEdit(int row) {
    m_changes.clear();
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
    if (!m_browser || row < 0 || row >= rowCount())
        return;
    if (m_state == Inserting && row == m_pendingRow) {
        Cancel();
        return;
    }
    if (m_state == Editing && row == m_pendingRow)
        Cancel();
    else if (m_state != Browse)
        Post();
    const int64_t position = TablePosition(row);
    const TZel_Row* values = TableRow(position);
    if (!values)
        throw EDatabaseError("Cannot delete: the row could not be read");
    // The neighbours stay readable while the grid takes the row out.
    TableRow(position - 1);
    TableRow(position + 1);
    m_browser->DeleteRow(*values);
    m_frozen = true;
    beginRemoveRows(QModelIndex(), row, row);
    std::map<int64_t, TZel_Row> shifted;
    for (auto& [at, rowValues] : m_cache)
        if (at != position)
            shifted[at > position ? at - 1 : at] = std::move(rowValues);
    m_cache = std::move(shifted);
    m_failedChunks.clear();
    m_count -= 1;
    if (m_state == Inserting && m_pendingRow > row)
        --m_pendingRow;
    endRemoveRows();
    m_frozen = false;
}

void TZel_TableModel::Refresh() {
    if (!m_browser)
        return;
    const int64_t count = m_browser->RowCount();
    const int before = rowCount();
    const int after = ToInt(count + (m_state == Inserting ? 1 : 0));
    m_frozen = true;
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
            }
        }
        endRemoveRows();
    } else {
        m_count = count;
    }
    m_frozen = false;
    m_cache.clear();
    m_failedChunks.clear();
    if (after > 0 && columnCount() > 0) {
        emit dataChanged(index(0, 0), index(after - 1, columnCount() - 1));
        emit headerDataChanged(Qt::Vertical, 0, after - 1);
    }
}
