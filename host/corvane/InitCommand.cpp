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
        out << "installation ready: " << target << "\n";
        return 0;
    } catch (const cv::DbError& e) {
        out << "corvane init: " << e.what() << "\n";
        return 1;
    }
}

}  // namespace corvane
