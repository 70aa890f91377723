// The night as a picture, drawn by gnuplot: cycles per interval by kind, outages as bands,
// and each cycle's length.
#pragma once

#include "report.h"

#include <QString>

namespace watchlog {

struct PlotRequest {
    QString output;  // a PNG file; empty: text in the terminal
    int width = 1280;
    int height = 720;
};

// The interval the cycles are counted in, to give about a hundred bars over the span.
qint64 countingIntervalMs(qint64 spanMs);

// Runs gnuplot; returns its exit status, or 1 with a message on stderr when it cannot.
int plot(const QList<Run> &runs, const Summary &summary, const Window &window, const PlotRequest &request);

}  // namespace watchlog
