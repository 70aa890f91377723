#include "plot.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cerrno>
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
    return QByteArray::number(ms / 1000) + " s";
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

struct Data {
    QByteArray counts;   // interval start, good, bad, failed
    QByteArray cycles;   // time, cycle_ms
    QByteArray outages;  // start, end
    qint64 intervalMs = 0;
    qint64 mostCycles = 0;  // in one interval
    qint64 shortestMs = 0;  // of the cycles plotted, as plotted (at least 1)
    qint64 longestMs = 0;
};

Data dataOf(const QList<Run> &runs, const Summary &summary, const Window &window)
{
    Data data;
    data.intervalMs = countingIntervalMs(summary.lastMs - summary.firstMs);
    for (const Run &run : runs)
        for (const LoggedCycle &cycle : run.cycles)
            if (window.holds(cycle.ms)) {
                const qint64 ms = std::max<qint64>(cycle.cycleMs, 1);
                data.cycles += seconds(cycle.ms) + ' ' + QByteArray::number(ms) + '\n';
                data.shortestMs = data.shortestMs == 0 ? ms : std::min(data.shortestMs, ms);
                data.longestMs = std::max(data.longestMs, ms);
            }
    const QMap<qint64, Counts> bins = countsPer(data.intervalMs, runs, window);
    for (auto bin = bins.cbegin(); bin != bins.cend(); ++bin) {
        data.mostCycles = std::max(data.mostCycles, bin->cycles);
        data.counts += seconds(bin.key()) + ' ' + QByteArray::number(bin->cycles) + ' ' +
                       QByteArray::number(bin->errors + bin->failures) + ' ' + QByteArray::number(bin->failures) + '\n';
    }
    for (const Outage &outage : summary.outages)
        data.outages += seconds(outage.startMs) + ' ' + seconds(outage.endMs) + '\n';
    // gnuplot refuses a plot whose every file is empty.
    for (QByteArray *lines : {&data.counts, &data.cycles, &data.outages})
        if (lines->isEmpty())
            *lines = "NaN NaN NaN NaN\n";
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

QByteArray scriptFor(const Data &data, const Summary &summary, const PlotRequest &request)
{
    const qint64 spanMs = summary.lastMs - summary.firstMs;
    const char *timeFormat = spanMs > 2 * 86400000LL ? "%m-%d %H:%M" : spanMs > 600000 ? "%H:%M" : "%H:%M:%S";
    const double interval = data.intervalMs / 1000.0;
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
    const int rightMargin = text ? 3 : 24;
    script += "set termoption noenhanced\nset lmargin " + QByteArray::number(leftMargin) + "\nset rmargin " +
              QByteArray::number(rightMargin) + "\n";
    script += "set xdata time\nset timefmt '%s'\nset format x '" + QByteArray(timeFormat) + "'\n";
    if (text) {
        // As many time labels as fit with room between them, at a step a clock reads well.
        const qint64 labelColumns = static_cast<qint64>(std::strlen(timeFormat)) + 4;  // "%H" gives two digits
        const qint64 fit = std::max<qint64>(1, (request.width - leftMargin - rightMargin) / labelColumns);
        script += "set xtics " + QByteArray::number(ticStepSeconds(spanMs / 1000 / fit + 1)) + "\n";
        // Whole counts, a label every other row at most, as a panel has rows.
        const qint64 rows = std::max(2, (request.height - 8) / 4);
        script += "set ytics " + QByteArray::number(std::max<qint64>(1, (data.mostCycles + rows - 1) / rows)) +
                  "\nset format y '%.0f'\n";
    }
    script += "set xrange ['" + seconds(summary.firstMs) + "':'" + seconds(summary.lastMs + 1) + "']\n";
    script += "set y2range [0:1]\nunset y2tics\nset grid ytics\n";
    script += text ? "set key below horizontal width 4\n" : "set key outside top right\n";
    script += "set multiplot layout 2,1 title 'testVRN730-watch: " + utcStamp(summary.firstMs) + " to " +
              utcStamp(summary.lastMs) + " (UTC)'\n";
    script += "set ylabel 'cycles per " + intervalName(data.intervalMs) + "'\nset yrange [0:*]\n";
    script += "set style fill solid 0.9 noborder\nset boxwidth " + QByteArray::number(interval * 0.9) + " absolute\n";
    const QByteArray centre = "(column(1)+" + QByteArray::number(interval / 2) + ")";
    // Text cannot show a band behind the bars, so there an outage is a strip along the top.
    const QByteArray bandHeight = request.output.isEmpty() ? "(0.97):($2-$1)/2:(0.03)" : "(0.5):(($2-$1)/2):(0.5)";
    const QByteArray bandsAs = "'outages.dat' using (($1+$2)/2):" + bandHeight +
                               " axes x1y2 with boxxyerror fs solid 0.25 noborder lc rgb '#e04040' ";
    const QByteArray bands = bandsAs + "title 'outage'";
    script += "plot " + bands + ", \\\n  'counts.dat' using " + centre +
              ":2 with boxes lc rgb '#3a9a3a' title 'good', \\\n  'counts.dat' using " + centre +
              ":3 with boxes lc rgb '#e08a00' title 'bad reply', \\\n  'counts.dat' using " + centre +
              ":4 with boxes lc rgb '#c00000' title 'failed connection'\n";
    // A factor of two around the cycles, so that a steady device's flat line has a range.
    const QByteArray cycleRange = data.longestMs > 0 ? "[" + QByteArray::number(data.shortestMs / 2.0) + ":" +
                                                           QByteArray::number(data.longestMs * 2) + "]"
                                                     : QByteArray("[*:*]");
    script += "set ylabel 'cycle (ms)'\nset logscale y\nset yrange " + cycleRange + "\nset xlabel 'time (UTC)'\n";
    if (text)
        script += "set ytics autofreq\nset format y '%g'\n";
    script += "plot " + bandsAs +
              "notitle, \\\n  'cycles.dat' using 1:2 with points pt 7 ps 0.3 lc rgb '#2050a0' "
              "title 'cycle_ms'\n";
    script += "unset multiplot\n";
    return script;
}

}  // namespace

qint64 countingIntervalMs(qint64 spanMs)
{
    static constexpr qint64 steps[] = {1,   2,   5,    10,   15,   30,    60,    120,   300,
                                       600, 900, 1800, 3600, 7200, 10800, 21600, 43200, 86400};
    for (const qint64 step : steps)
        if (step * 1000 * 100 >= spanMs)
            return step * 1000;
    return 86400000LL * ((spanMs / 100 + 86400000LL - 1) / 86400000LL);
}

int plot(const QList<Run> &runs, const Summary &summary, const Window &window, const PlotRequest &request)
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
    QTemporaryDir work;
    const Data data = dataOf(runs, summary, window);
    PlotRequest absolute = request;
    if (!request.output.isEmpty())
        absolute.output = QDir::current().absoluteFilePath(request.output);
    if (!work.isValid() || !writeFile(work.filePath(QStringLiteral("counts.dat")), data.counts) ||
        !writeFile(work.filePath(QStringLiteral("cycles.dat")), data.cycles) ||
        !writeFile(work.filePath(QStringLiteral("outages.dat")), data.outages) ||
        !writeFile(work.filePath(QStringLiteral("night.gp")), scriptFor(data, summary, absolute))) {
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
