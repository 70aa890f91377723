// The targets file of a fleet watch: one device a line, "ADDRESS [NAME=VALUE]...", the
// pairs being labels on that device's metrics; '#' starts a comment.
#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

using Labels = QList<QPair<QByteArray, QByteArray>>;

struct Target {
    QByteArray address;
    Labels labels;

    bool operator==(const Target &other) const { return address == other.address && labels == other.labels; }
};

namespace targets {

// Limits on what a file may hold: it is read again whenever it changes.
constexpr qint64 maxFileBytes = 4 * 1024 * 1024;
constexpr int maxTargets = 10000;
constexpr int maxLabels = 16;
constexpr int maxValueBytes = 256;

// An address or host name as testVRN730 takes it with -i: it also names the device's log.
bool isAddress(const QByteArray &text);

// False with WHY ("line 3: ...") at the first line that is not a target.
bool parse(const QByteArray &text, QList<Target> *targets, QByteArray *why);

}  // namespace targets
