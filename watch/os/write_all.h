// Writing to a descriptor that may take the bytes a few at a time.
#pragma once

#include <QByteArray>

// Writes all of BYTES to FD, through interruptions and short writes; false, with errno,
// when it cannot.
bool writeAll(int fd, const QByteArray &bytes);
