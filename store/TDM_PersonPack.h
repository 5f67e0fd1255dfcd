// The data module "DM_PersonPack": every access of the library to the host database goes
// through it. It holds the datasets, the provider and the command of both working styles and
// attaches them when it is created to what the style of that moment offers: the host's
// database connection (local, style 2) or the host's connection broker (networked, style 1).
//
// Ownership: the current application object owns the module; the library never destroys it.
// A module-level reference follows the module last created or found by PrepareStore.
//
// The shared query datasets (dstShare local, CDSTemp networked) are reused by every
// operation; each use closes the dataset and sets its statement first. Not reentrant: one
// call at a time, on the host's user-interface thread.
#pragma once

#include <QObject>
#include <QString>
#include <cstdint>

#include "ClientDataSet.h"
#include "ConnectionBroker.h"
#include "Database.h"
#include "TextRows.h"

namespace cv {

class TDM_PersonPack : public QObject {
    Q_OBJECT

public:
    // Creates the components, then runs DataModuleCreate. `owner` becomes the Qt parent.
    explicit TDM_PersonPack(QObject* owner);
    ~TDM_PersonPack() override;

    // The creation handler: style 2 attaches the host's connection to dstShare and cmdShare;
    // style 1 makes the broker the remote server of CDSPerson, CDSDept, CDSTemp and
    // CDSTempSelect; any other style attaches nothing. PrepareStore runs it again to
    // re-attach when what the module holds stops answering.
    void DataModuleCreate();

    // The store check: finds the module "DM_PersonPack" among the components of the current
    // application object or creates it there, then tests that the connection object of the
    // current style (2 local, 1 networked) is connected; any other style is not tested.
    // A module found with a connection object that no longer answers (or none for the
    // style) runs DataModuleCreate again and tests what the host hands out now, so the
    // module follows a host that made its connection afresh. Never throws: every failure,
    // a missing application object or connection included, answers false.
    static bool PrepareStore();
    // The module-level reference; null before the first successful creation, and once the
    // owning application object has destroyed the module.
    static TDM_PersonPack* instance();

    // Replaces `target`'s field definitions and rows by those of `sql`'s result. True when
    // the rows were copied; every failure answers false.
    bool FetchRows(ClientDataSet& target, const QString& sql);
    // As FetchRows, then every row's DeptName is replaced by the department path of its
    // DeptID. A path longer than the DeptName field's width is stored whole (the field is
    // widened). Every failure answers false; the target may then hold part of the work.
    bool FetchWithDeptPaths(ClientDataSet& target, const QString& sql);
    // The rows of `sql` written into `file` (open, not yet committed) as they are read, byte
    // for byte what FetchRows and saving the dataset write, where the store can: on SQLite
    // and PostgreSQL, unless switched off. False when it cannot, or a refusal has to name
    // what only the whole dataset tells: the file then holds an unfinished packet to abandon,
    // and the dataset's way gives the answer. Throws DataPacketError when the file cannot be
    // written.
    bool StreamRows(const QString& sql, StagedFile& file);
    // Off, exports go through the dataset: the reference the streamed packets are held to.
    void setRowStreaming(bool on) { rowStreaming_ = on; }
    // Whether the export's statements list the ticked identifiers sorted, each once: on
    // SQLite, which searches the primary key from an IN list's own sorted index, so that the
    // rows come out in the same order whatever the order of the list, and builds that index a
    // third faster from sorted values. PostgreSQL gives the rows in the order of the list, so
    // there the tree's order stays, as GetTickedPersons(0) gives it. Off, the tree's order on
    // every engine: the reference.
    void setSortedSelection(bool on) { sortedSelection_ = on; }
    bool sortsSelection() const;

    // Where FetchWithDeptPaths takes the names of the paths' levels from: one statement that
    // reads every department's name, the paths composed in memory (the default), or
    // GetDeptPathName's look-ups, one statement per department, kept as the reference the
    // first is checked against. The two give the same rows.
    enum class DeptNameSource { OneRead, LookUps };
    void setDeptNameSource(DeptNameSource source) { deptNameSource_ = source; }
    DeptNameSource deptNameSource() const { return deptNameSource_; }
    // The rows of `sql` as texts, on the connection of the style; the shared datasets keep
    // what they hold. Throws DbError.
    TextRows readTexts(const QString& sql);
    // True when `sql` returns no row, on the shared query dataset of the current style.
    // Failures are not caught.
    bool IsEmptyResult(const QString& sql);

    // The host's connection (null unless created in style 2) and broker (null unless
    // created in style 1).
    Connection* BaseConnection() const { return baseConnection_; }
    cv::ConnectionBroker* ConnectionBroker() const { return connectionBroker_; }

    // Components, in the module's declaration order.
    ClientDataSet CDSDept;          // networked, "DspDept": department look-ups
    ClientDataSet CDSPerson;        // networked, "DspPerson": person inserts
    ClientDataSet ClientDstPerson;  // local, DstProvider: rows of FetchRows
    DataSetProvider DstProvider;    // local: hands the rows of dstShare to the two above
    Command cmdShare;               // local: INSERT statements
    ClientDataSet CdsExportPer;     // both, no provider: person rows of an export
    ClientDataSet ClientDstDept;    // local, DstProvider: rows of FetchWithDeptPaths
    ClientDataSet CDSTemp;          // networked, "DspTemp": shared query dataset
    ClientDataSet CDSTempSelect;    // networked, "DspSelect": department inserts
    Query dstShare;                 // local: shared query dataset
    ClientDataSet CdsExportDept;    // both, no provider: department rows of an export

private:
    // Whether the connection object of `style` (2 local, else networked) is there and
    // answers.
    bool attachedAnswers(std::uint8_t style) const;
    // Replaces `target`'s data by the result of `sql`: through CDSTemp (networked), or
    // through dstShare and `localClient` opened afresh (local). Throws on failure.
    void copyResult(ClientDataSet& target, const QString& sql, ClientDataSet& localClient);

    DeptNameSource deptNameSource_ = DeptNameSource::OneRead;
    bool rowStreaming_ = true;
    bool sortedSelection_ = true;

    Connection* baseConnection_ = nullptr;
    cv::ConnectionBroker* connectionBroker_ = nullptr;
};

}  // namespace cv
