#include <QUrl>

#include "Commands.h"
#include "Database.h"

namespace corvane {

int runInit(const QString& target, cvhost::Sample sample, QTextStream& out) {
    if (target.isEmpty()) {
        out << "corvane init: --db is required\n";
        return 2;
    }
    try {
        auto connection = cvhost::openStore(target);
        cvhost::createSchema(*connection);
        cvhost::insertSample(*connection, sample);
        // A server address is shown without its password.
        out << "installation ready: " << QUrl(target).toDisplayString(QUrl::RemovePassword) << "\n";
        return 0;
    } catch (const cv::DbError& e) {
        out << "corvane init: " << e.what() << "\n";
        return 1;
    }
}

}  // namespace corvane
