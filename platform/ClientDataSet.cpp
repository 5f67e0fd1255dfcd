#include "ClientDataSet.h"

#include <QRegularExpression>
#include <algorithm>
#include <numeric>

#include "ConnectionBroker.h"
#include "DataPacket.h"
#include "Database.h"

namespace cv {

RowSet DataSetProvider::rows() {
    if (!source_) throw DbError("the dataset provider has no source");
    if (source_->active()) return source_->data();
    source_->open();
    RowSet rows = source_->data();
    source_->close();
    return rows;
}

ClientDataSet::ClientDataSet(QString name) : name_(std::move(name)) {}

void ClientDataSet::open() {
    if (active_) return;
    if (broker_) {
        setData(broker_->fetch(provider_, commandText_));
    } else if (localProvider_) {
        setData(localProvider_->rows());
    } else {
        throw DbError("dataset " + name_.toStdString() + " has no provider");
    }
}

void ClientDataSet::close() {
    data_ = {};
    active_ = false;
    editRow_ = -1;
    inserted_.clear();
    restart();
}

void ClientDataSet::copyDataFrom(const ClientDataSet& other) { setData(other.data_); }

void ClientDataSet::setData(RowSet data) {
    for (const Row& row : data.rows) {
        if (row.size() != data.fields.size()) throw DbError("a row does not match the fields");
    }
    data_ = std::move(data);
    active_ = true;
    editRow_ = -1;
    inserted_.clear();
    restart();
}

int ClientDataSet::fieldIndex(const QString& name) const { return data_.indexOf(name); }

int ClientDataSet::recordCount() const { return view().size(); }

bool ClientDataSet::eof() const { return position_ >= view().size(); }

bool ClientDataSet::bof() const {
    view();
    return position_ == 0;
}

void ClientDataSet::first() {
    post();
    view();
    position_ = 0;
}

void ClientDataSet::next() {
    post();
    if (!eof()) ++position_;
}

void ClientDataSet::last() {
    post();
    position_ = std::max<qsizetype>(0, view().size() - 1);
}

QVariant ClientDataSet::value(const QString& field) const {
    const int index = requireField(field);
    return data_.rows[currentRow()][index];
}

void ClientDataSet::append() {
    requireActive();
    post();
    const qsizetype row = data_.rows.size();
    data_.rows.append(Row(data_.fields.size()));
    inserted_.append(row);
    editRow_ = row;
    // The new row is all nulls and comes last in storage order: without an index the derived
    // lists take it in place instead of being rebuilt.
    if (indexFields_.isEmpty() && view_ && (!filtering() || filter_->null)) {
        order_->append(row);
        for (Buckets& field : buckets_) field.nulls.append(row);
        view_->append(row);
        position_ = view_->size() - 1;
    } else {
        orderChanged();
        anchor_ = row;
    }
}

void ClientDataSet::edit() {
    requireActive();
    post();
    editRow_ = currentRow();
}

void ClientDataSet::setValue(const QString& field, const QVariant& value) {
    const int index = requireField(field);
    if (editRow_ < 0) throw DbError("dataset " + name_.toStdString() + " is not being edited");
    const FieldDef& def = data_.fields[index];
    auto converted = convertValue(def.type, value);
    if (!converted) {
        throw DbError(QStringLiteral("\"%1\" is not a valid value for field %2")
                          .arg(valueText(value), def.name)
                          .toStdString());
    }
    data_.rows[editRow_][index] = std::move(*converted);
    fieldChanged(index);
}

void ClientDataSet::post() { editRow_ = -1; }

RowSet ClientDataSet::pendingInserts() const {
    RowSet inserts{data_.fields, {}};
    for (qsizetype row : inserted_) inserts.rows.append(data_.rows[row]);
    return inserts;
}

int ClientDataSet::applyUpdates(int maxErrors) {
    post();
    if (!broker_) throw DbError("dataset " + name_.toStdString() + " has no remote server");
    if (inserted_.isEmpty()) return 0;
    const int errors = broker_->applyInserts(provider_, commandText_, pendingInserts(), maxErrors);
    inserted_.clear();
    return errors;
}

bool ClientDataSet::locate(const QString& field, const QString& value) {
    const int index = requireField(field);
    post();
    const QList<qsizetype>& rows = view();
    auto lookup = firstInView_.find(index);
    if (lookup == firstInView_.end()) {
        QHash<QString, qsizetype> first;
        first.reserve(rows.size());
        // Backwards, so that the first position of each text is the one left.
        for (qsizetype position = rows.size() - 1; position >= 0; --position) {
            const QVariant& cell = data_.rows[rows[position]][index];
            if (!cell.isNull()) first.insert(valueText(cell), position);
        }
        lookup = firstInView_.insert(index, std::move(first));
    }
    const auto found = lookup->constFind(value);
    if (found == lookup->constEnd()) return false;
    position_ = *found;
    return true;
}

void ClientDataSet::setIndexFieldNames(const QString& names) {
    post();
    QStringList fields;
    for (const QString& name : names.split(';', Qt::SkipEmptyParts)) {
        fields.append(name.trimmed());
        if (active_) requireField(fields.back());
    }
    indexFields_ = fields;
    orderChanged();
    anchor_ = -1;
    position_ = 0;
}

void ClientDataSet::setFilter(const QString& expression) {
    static const QRegularExpression form(R"(^\s*([^\s=']+)\s*=\s*(?:(null)|'((?:[^']|'')*)')\s*$)",
                                         QRegularExpression::CaseInsensitiveOption);
    std::optional<Filter> filter;
    if (!expression.trimmed().isEmpty()) {
        const auto match = form.match(expression);
        if (!match.hasMatch()) {
            throw DbError("unsupported filter expression: " + expression.toStdString());
        }
        if (active_) requireField(match.captured(1));
        filter = Filter{match.captured(1), match.hasCaptured(2),
                        match.captured(3).replace(QLatin1String("''"), QLatin1String("'"))};
    }
    post();
    filter_ = std::move(filter);
    viewChanged();
    anchor_ = -1;
    position_ = 0;
}

void ClientDataSet::setFiltered(bool on) {
    post();
    filtered_ = on;
    viewChanged();
    anchor_ = -1;
    position_ = 0;
}

void ClientDataSet::saveToFile(const QString& path) const {
    if (!active_) throw DataPacketError("dataset " + name_.toStdString() + " is not open");
    writeDataPacket(path, data_);
}

void ClientDataSet::saveToFile(StagedFile& file) const {
    if (!active_) throw DataPacketError("dataset " + name_.toStdString() + " is not open");
    writeDataPacket(file, data_);
}

void ClientDataSet::loadFromFile(const QString& path) { setData(readDataPacket(path)); }

int ClientDataSet::requireField(const QString& field) const {
    const int index = data_.indexOf(field);
    if (index < 0) {
        throw DbError("dataset " + name_.toStdString() + " has no field " + field.toStdString());
    }
    return index;
}

void ClientDataSet::requireActive() const {
    if (!active_) throw DbError("dataset " + name_.toStdString() + " is not open");
}

qsizetype ClientDataSet::currentRow() const {
    if (editRow_ >= 0) return editRow_;
    const QList<qsizetype>& rows = view();
    if (position_ >= rows.size())
        throw DbError("dataset " + name_.toStdString() + " has no current row");
    return rows[position_];
}

const QList<qsizetype>& ClientDataSet::order() const {
    if (order_) return *order_;
    QList<qsizetype> rows(data_.rows.size());
    std::iota(rows.begin(), rows.end(), 0);
    QList<QList<QString>> keys;
    for (const QString& name : indexFields_) {
        const int field = requireField(name);
        QList<QString>& texts = keys.emplaceBack();
        texts.reserve(data_.rows.size());
        for (const Row& row : data_.rows) texts.append(valueText(row[field]));
    }
    if (!keys.isEmpty()) {
        std::stable_sort(rows.begin(), rows.end(), [&keys](qsizetype a, qsizetype b) {
            for (const QList<QString>& texts : keys) {
                if (const int order = texts[a].compare(texts[b]); order != 0) return order < 0;
            }
            return false;
        });
    }
    order_ = std::move(rows);
    return *order_;
}

const ClientDataSet::Buckets& ClientDataSet::buckets(int field) const {
    if (const auto it = buckets_.constFind(field); it != buckets_.constEnd()) return *it;
    Buckets made;
    for (qsizetype row : order()) {
        const QVariant& cell = data_.rows[row][field];
        if (cell.isNull()) {
            made.nulls.append(row);
        } else {
            made.rows[valueText(cell)].append(row);
        }
    }
    return *buckets_.insert(field, std::move(made));
}

const QList<qsizetype>& ClientDataSet::view() const {
    if (view_) return *view_;
    if (filtering()) {
        const Buckets& matching = buckets(requireField(filter_->field));
        view_ = filter_->null ? matching.nulls : matching.rows.value(filter_->text);
    } else {
        view_ = order();
    }
    if (anchor_ >= 0) {
        if (const qsizetype at = view_->indexOf(anchor_); at >= 0) position_ = at;
        anchor_ = -1;
    }
    position_ = std::min(position_, view_->size());
    return *view_;
}

void ClientDataSet::restart() {
    order_.reset();
    buckets_.clear();
    view_.reset();
    firstInView_.clear();
    position_ = 0;
    anchor_ = -1;
}

void ClientDataSet::orderChanged() {
    viewChanged();
    order_.reset();
    buckets_.clear();
}

void ClientDataSet::viewChanged() {
    if (view_ && anchor_ < 0 && position_ < view_->size()) anchor_ = (*view_)[position_];
    view_.reset();
    firstInView_.clear();
}

void ClientDataSet::fieldChanged(int field) {
    const QString& name = data_.fields[field].name;
    if (indexFields_.contains(name, Qt::CaseInsensitive)) {
        orderChanged();
        return;
    }
    buckets_.remove(field);
    firstInView_.remove(field);
    if (filter_ && filter_->field.compare(name, Qt::CaseInsensitive) == 0) viewChanged();
}

}  // namespace cv
