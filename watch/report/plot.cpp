#include "report/plot.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace watchlog {

namespace {

QByteArray intervalName(qint64 ms)
{
    if (ms % 3600000 == 0)
        return QByteArray::number(ms / 3600000) + " h";
    if (ms % 60000 == 0)
        return QByteArray::number(ms / 60000) + " min";
    if (ms % 1000 == 0)
        return QByteArray::number(ms / 1000) + " s";
    return seconds(ms) + " s";
}

bool writeFile(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size() && file.flush();
}

// gnuplot reads a single-quoted string as it stands, but for the quote itself.
QByteArray quoted(const QString &text)
{
    QByteArray bytes = text.toUtf8();
    bytes.replace('\'', "''");
    return '\'' + bytes + '\'';
}

// A number as gnuplot reads it; NaN leaves a gap.
QByteArray number(double value)
{
    return std::isnan(value) ? QByteArray("NaN") : QByteArray::number(value, 'g', 10);
}

// A time in seconds since 1970, to the millisecond.
QByteArray timeOf(double ms)
{
    return QByteArray::number(ms / 1000.0, 'f', 3);
}

struct Data {
    QByteArray bins;        // start, centre, good %, bad replies, failed connections, p10, p50, p90
    QByteArray outages;     // centre, half width
    QByteArray unwatched;   // centre, half width
    qint64 shortestMs = 0;  // of the 10th percentiles (at least 1)
    qint64 longestMs = 0;   // of the 90th
};

// A band at least MIN_HALF_MS to each side of its centre, so that a short one stays in
// sight over a month.
QByteArray bandLine(qint64 startMs, qint64 endMs, double minHalfMs)
{
    const double half = std::max((endMs - startMs) / 2.0, minHalfMs);
    return timeOf((startMs + endMs) / 2.0) + ' ' + number(half / 1000.0) + '\n';
}

Data dataOf(const Bins &bins, const Summary &summary, int plotWidth)
{
    Data data;
    const qint64 interval = bins.intervalMs();
    for (int i = 0; i < bins.bins().size(); ++i) {
        const Bin &bin = bins.bins()[i];
        const qint64 startMs = bins.firstMs() + i * interval;
        const Counts &counts = bin.counts;
        const double good =
            counts.cycles ? 100.0 * (counts.cycles - counts.errors - counts.failures) / counts.cycles : std::nan("");
        const auto length = [&](double fraction) {
            return bin.lengths.count() ? std::max(1.0, bin.lengths.percentile(fraction)) : std::nan("");
        };
        const double p10 = length(0.1), p50 = length(0.5), p90 = length(0.9);
        if (!std::isnan(p10)) {
            data.shortestMs =
                data.shortestMs ? std::min(data.shortestMs, static_cast<qint64>(p10)) : static_cast<qint64>(p10);
            data.longestMs = std::max(data.longestMs, static_cast<qint64>(p90));
        }
        data.bins += seconds(startMs) + ' ' + timeOf(startMs + interval / 2.0) + ' ' + number(good) + ' ' +
                     QByteArray::number(counts.errors) + ' ' + QByteArray::number(counts.failures) + ' ' + number(p10) +
                     ' ' + number(p50) + ' ' + number(p90) + '\n';
    }
    // Two character cells or pixels wide at least.
    const double minHalfMs = (summary.lastMs - summary.firstMs) / std::max(1.0, plotWidth / 2.0) / 2.0;
    for (const Outage &outage : summary.outages)
        data.outages += bandLine(outage.startMs, outage.endMs, minHalfMs);
    for (const Unwatched &span : summary.unwatched)
        data.unwatched += bandLine(span.startMs, span.endMs, minHalfMs);
    // gnuplot refuses a plot whose every file is empty.
    for (QByteArray *lines : {&data.bins, &data.outages, &data.unwatched})
        if (lines->isEmpty())
            *lines = "NaN NaN NaN NaN NaN NaN NaN NaN\n";
    return data;
}

// The smallest step a clock reads well, of at least `seconds`.
qint64 ticStepSeconds(qint64 seconds)
{
    static constexpr qint64 steps[] = {1,   2,   5,    10,   15,   30,    60,    120,   300,
                                       600, 900, 1800, 3600, 7200, 10800, 21600, 43200, 86400};
    for (const qint64 step : steps)
        if (step >= seconds)
            return step;
    return 86400 * ((seconds + 86399) / 86400);
}

QByteArray scriptFor(const Data &data, const Summary &summary, qint64 intervalMs, const PlotRequest &request)
{
    const qint64 spanMs = summary.lastMs - summary.firstMs;
    const char *timeFormat = spanMs > 2 * 86400000LL ? "%m-%d %H:%M" : spanMs > 600000 ? "%H:%M" : "%H:%M:%S";
    const bool text = request.output.isEmpty();
    QByteArray script;
    if (text)
        script += "set terminal dumb size " + QByteArray::number(request.width) + "," +
                  QByteArray::number(request.height) + " aspect 1,1\nset output 'picture.txt'\n";
    else
        script += "set terminal pngcairo size " + QByteArray::number(request.width) + "," +
                  QByteArray::number(request.height) + " font 'sans,10'\nset output " + quoted(request.output) + "\n";
    // Both panels share their margins, so their time axes line up. In text the key goes
    // below, where its names have the whole width.
    const int leftMargin = 10;
    const int rightMargin = text ? 3 : 30;
    script += "set termoption noenhanced\nset lmargin " + QByteArray::number(leftMargin) + "\nset rmargin " +
              QByteArray::number(rightMargin) + "\n";
    script += "set xdata time\nset timefmt '%s'\nset format x '" + QByteArray(timeFormat) + "'\n";
    if (text) {
        // As many time labels as fit with room between them, at a step a clock reads well.
        const qint64 labelColumns = static_cast<qint64>(std::strlen(timeFormat)) + 4;  // "%H" gives two digits
        const qint64 fit = std::max<qint64>(1, (request.width - leftMargin - rightMargin) / labelColumns);
        script += "set xtics " + QByteArray::number(ticStepSeconds(spanMs / 1000 / fit + 1)) + "\n";
    }
    script += "set xrange ['" + seconds(summary.firstMs) + "':'" + seconds(summary.lastMs + 1) + "']\n";
    script += "set y2range [0:1]\nunset y2tics\nset grid ytics\n";
    script += text ? "set key below horizontal width 2\n" : "set key outside top right\n";
    script += "set multiplot layout 2,1 title 'testVRN730-watch: " + utcStamp(summary.firstMs) + " to " +
              utcStamp(summary.lastMs) + " (UTC)'\n";
    // Unwatched time is grey behind the lines. Outages are a strip along the top: a month's
    // scattered single bad replies, each as wide as it can be seen, would otherwise hide
    // everything else. Text cannot fill, so there each is a mark at its middle, drawn last
    // over the top row (outages) and the bottom one (unwatched).
    const QByteArray unwatched =
        text ? QByteArray("'unwatched.dat' using 1:(0.25) axes x1y2 with points pt '~' ")
             : QByteArray("'unwatched.dat' using 1:(0.5):2:(0.5) axes x1y2 with boxxyerror fs solid 0.35 noborder "
                          "lc rgb '#909090' ");
    const QByteArray outages =
        text ? QByteArray("'outages.dat' using 1:(0.75) axes x1y2 with points pt '#' ")
             : QByteArray("'outages.dat' using 1:(0.97):2:(0.03) axes x1y2 with boxxyerror fs solid 0.8 noborder "
                          "lc rgb '#e04040' ");
    const QByteArray bands = unwatched + "title 'unwatched', \\\n  " + outages + "title 'outage'";
    // In text a row is a quarter of the panel: room above 100% keeps the line off the border.
    script += "set ylabel 'good cycles per " + intervalName(intervalMs) +
              " (%)'\nset yrange [0:" + (text ? "125" : "104") + "]\n";
    if (text)
        script += "set ytics 0,50,100\n";
    script += "set style fill solid 0.9 noborder\n";
    // A point on each interval that holds a bad reply or a failed connection keeps a rare
    // one in sight, where a share of 99.99% draws as 100.
    const QByteArray shares = "  'bins.dat' using 2:3 with lines lw 2 lc rgb '#3a9a3a' title 'good', \\\n"
                              "  'bins.dat' using 2:($4 > 0 ? $3 : NaN) with points pt 9 ps 1.2 lc rgb '#e08a00' "
                              "title 'bad reply', \\\n"
                              "  'bins.dat' using 2:($5 > 0 ? $3 : NaN) with points pt 11 ps 1.2 lc rgb '#c00000' "
                              "title 'failed connection'";
    script += text ? "plot " + shares + ", \\\n  " + bands + "\n" : "plot " + bands + ", \\\n" + shares + "\n";
    // A factor of two around the lengths, so that a steady device's flat line has a range.
    const QByteArray lengthRange = data.longestMs > 0 ? "[" + QByteArray::number(data.shortestMs / 2.0) + ":" +
                                                            QByteArray::number(data.longestMs * 2) + "]"
                                                      : QByteArray("[*:*]");
    script += "set ylabel 'cycle (ms)'\nset logscale y\nset yrange " + lengthRange + "\nset xlabel 'time (UTC)'\n";
    script += text ? "set ytics autofreq\nset format y '%g'\n" : "";
    script += "plot " + unwatched + "notitle, \\\n";
    if (text)
        script += "  'bins.dat' using 2:8 with lines lc rgb '#80a0d0' title '90th percentile', \\\n";
    else
        script += "  'bins.dat' using 2:6:8 with filledcurves fs transparent solid 0.35 lc rgb '#4070c0' "
                  "title '10th to 90th percentile', \\\n";
    script += "  'bins.dat' using 2:7 with lines lw 2 lc rgb '#2050a0' title 'median'\n";
    script += "unset multiplot\n";
    return script;
}

}  // namespace

void LengthHistogram::add(qint64 ms)
{
    ++counts_[bucketOf(ms)];
    ++count_;
}

int LengthHistogram::bucketOf(qint64 ms)
{
    if (ms < stepsPerDoubling)
        return static_cast<int>(std::max<qint64>(ms, 0));
    const int doubling = 63 - __builtin_clzll(static_cast<unsigned long long>(ms));  // at least stepBits
    const int step = static_cast<int>(ms >> (doubling - stepBits)) & (stepsPerDoubling - 1);
    return std::min(buckets - 1, (doubling - stepBits + 1) * stepsPerDoubling + step);
}

double LengthHistogram::middleOf(int bucket)
{
    if (bucket < stepsPerDoubling)
        return bucket;
    const int doubling = bucket / stepsPerDoubling + stepBits - 1;
    const qint64 width = qint64{1} << (doubling - stepBits);
    return static_cast<double>((stepsPerDoubling + bucket % stepsPerDoubling) * width) + (width - 1) / 2.0;
}

double LengthHistogram::percentile(double fraction) const
{
    const qint64 rank = static_cast<qint64>(fraction * static_cast<double>(count_ - 1));
    qint64 seen = 0;
    for (int bucket = 0; bucket < buckets; ++bucket) {
        seen += counts_[bucket];
        if (seen > rank)
            return middleOf(bucket);
    }
    return middleOf(buckets - 1);
}

Bins::Bins(qint64 firstMs, qint64 lastMs, qint64 intervalMs)
    : firstMs_(firstMs), intervalMs_(std::max<qint64>(1, intervalMs)),
      bins_(static_cast<int>(std::clamp<qint64>((lastMs - firstMs) / intervalMs_ + 1, 1, 4 * maxBins)))
{
}

void Bins::take(const LoggedCycle &cycle)
{
    const qint64 offset = cycle.ms - firstMs_;
    if (offset < 0 || offset / intervalMs_ >= bins_.size())
        return;
    Bin &bin = bins_[static_cast<int>(offset / intervalMs_)];
    bin.counts.add(cycle.state);
    bin.lengths.add(cycle.cycleMs);
}

void CycleLengths::take(const LoggedCycle &cycle)
{
    ++counts_[static_cast<int>(std::clamp<qint64>(cycle.cycleMs, 0, counts_.size() - 1))];
    ++count_;
}

qint64 CycleLengths::median() const
{
    qint64 seen = 0;
    for (int ms = 0; ms < counts_.size(); ++ms) {
        seen += counts_[ms];
        if (seen * 2 > count_)
            return ms;
    }
    return 0;
}

qint64 countingIntervalMs(qint64 spanMs, qint64 cycleMs)
{
    const qint64 cycle = std::max<qint64>(1, cycleMs);
    const qint64 cyclesInSpan = std::max<qint64>(1, spanMs / cycle + 1);
    const qint64 cyclesPerBin = (cyclesInSpan + maxBins - 1) / maxBins;
    if (cyclesPerBin < 100)
        return cycle * cyclesPerBin;
    // A cycle more or less is under 1% of such an interval: one a clock reads well.
    return ticStepSeconds((cycle * cyclesPerBin + 999) / 1000) * 1000;
}

int plot(const LogSet &logs, const Summary &summary, qint64 cycleMs, const Window &window, const PlotRequest &request)
{
    const QString gnuplot = QStandardPaths::findExecutable(QStringLiteral("gnuplot"));
    if (gnuplot.isEmpty()) {
        std::fprintf(stderr, "testVRN730-watch: plot needs gnuplot, which is not installed; "
                             "on Debian: apt-get install gnuplot-nox\n");
        return 1;
    }
    if (summary.runs == 0) {
        std::fprintf(stderr, "testVRN730-watch: no cycles in the logs read, so nothing to plot\n");
        return 1;
    }
    const qint64 intervalMs = countingIntervalMs(summary.lastMs - summary.firstMs, cycleMs);
    Bins bins(summary.firstMs, summary.lastMs, intervalMs);
    Reader reader(window, &bins);
    QList<QByteArray> messages;
    if (!logs.readInto(&reader, &messages)) {
        for (const QByteArray &message : messages)
            std::fprintf(stderr, "testVRN730-watch: %s\n", message.constData());
        return 1;
    }
    QTemporaryDir work;
    const int plotWidth = request.output.isEmpty() ? request.width - 13 : request.width * 3 / 4;
    const Data data = dataOf(bins, summary, plotWidth);
    PlotRequest absolute = request;
    if (!request.output.isEmpty())
        absolute.output = QDir::current().absoluteFilePath(request.output);
    if (!work.isValid() || !writeFile(work.filePath(QStringLiteral("bins.dat")), data.bins) ||
        !writeFile(work.filePath(QStringLiteral("outages.dat")), data.outages) ||
        !writeFile(work.filePath(QStringLiteral("unwatched.dat")), data.unwatched) ||
        !writeFile(work.filePath(QStringLiteral("night.gp")), scriptFor(data, summary, intervalMs, absolute))) {
        std::fprintf(stderr, "testVRN730-watch: cannot write gnuplot's files in a temporary directory\n");
        return 1;
    }
    QProcess process;
    process.setWorkingDirectory(work.path());
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(gnuplot, {QStringLiteral("night.gp")});
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit) {
        std::fprintf(stderr, "testVRN730-watch: gnuplot did not finish\n");
        return 1;
    }
    if (process.exitCode() != 0 || !request.output.isEmpty())
        return process.exitCode();
    // The text, without the form feed with which gnuplot begins a page.
    QFile picture(work.filePath(QStringLiteral("picture.txt")));
    if (!picture.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "testVRN730-watch: gnuplot wrote no picture\n");
        return 1;
    }
    const QByteArray text = picture.readAll().replace('\f', QByteArray());
    if (std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stdout) !=
            static_cast<std::size_t>(text.size()) ||
        std::fflush(stdout) != 0) {
        std::fprintf(stderr, "testVRN730-watch: cannot write the picture: %s\n", std::strerror(errno));
        return 1;
    }
    return 0;
}

}  // namespace watchlog
