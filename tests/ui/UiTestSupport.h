// Helpers of the UI tests: small trees made by hand and a compact text form of a tree.
#pragma once

#include <QString>
#include <ostream>

#include "CheckTree.h"
#include "NodeTree.h"
#include "TestHost.h"

class QWidget;

namespace uitest {

// A department node (picture 0) or a person node (pictures 1/1) with its record.
int dept(cv::NodeTree& tree, int parent, const QString& name, const QString& id);
int person(cv::NodeTree& tree, int parent, const QString& name, const QString& id,
           const QString& login = {}, const QString& sex = {});

// "text{child,child{...}}", top-level nodes joined by ";".
QString describe(const cv::NodeTree& tree);
// "text:state" in list order joined by " ", "-" for a state never set.
QString states(const cv::CheckTree& tree);
// "ID|Kind|NameOrLogin|PersonName|Sex normal/selected" ("no record" instead of the fields).
QString recordText(const cv::NodeModel& nodes, int node);
// The first node in list order with this text; fails the test when there is none.
int nodeNamed(const cv::NodeTree& tree, const QString& text);

// Shows `widget` and waits until it is exposed; false when it never is.
bool showAndWait(QWidget& widget);

}  // namespace uitest
