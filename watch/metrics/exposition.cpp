#include "metrics/exposition.h"

#include <QHash>

#include <algorithm>
#include <charconv>
#include <cmath>

namespace metrics {

namespace {

constexpr int maxBuckets = 64;

enum class Type { Counter, Gauge, Histogram };

// One family: its name without a counter's "_total", and its help.
struct Family {
    const char *name;
    Type type;
    const char *help;
};

const Family buildInfo{"testvrn730_build_info", Type::Gauge, "The watch's version, in the label version; always 1."};
const Family startTime{"testvrn730_watch_start_time_seconds", Type::Gauge,
                       "When the watch started, in seconds since 1970-01-01T00:00:00Z."};
const Family cycles{"testvrn730_cycles", Type::Counter,
                    "Cycles the device's testVRN730 finished, by state: ok, error (a bad reply) or no_connection."};
const Family cycleSeconds{"testvrn730_cycle_seconds", Type::Histogram,
                          "Time from the end of one cycle to the end of the next, the pause included."};
const Family up{"testvrn730_up", Type::Gauge, "1 when the device's last cycle was ok, else 0."};
const Family lastOk{"testvrn730_last_ok_timestamp_seconds", Type::Gauge,
                    "When the device's last ok cycle ended, in seconds since 1970-01-01T00:00:00Z."};
const Family outages{"testvrn730_outages", Type::Counter, "Outages begun: a cycle not ok after one ok, or first."};
const Family restarts{"testvrn730_client_restarts", Type::Counter,
                      "Times the device's testVRN730 ended by itself and was started again."};
const Family lostCycles{"testvrn730_lost_cycles", Type::Counter,
                        "Cycles finished but not written to the device's log, as its disk refused them."};

class Writer {
public:
    explicit Writer(Format format) : format_(format) {}

    void family(const Family &family)
    {
        const QByteArray name = family.name;
        const QByteArray typeName = family.type == Type::Counter ? "counter"
                                    : family.type == Type::Gauge ? "gauge"
                                                                 : "histogram";
        // The text format names a counter by its samples, OpenMetrics by its family.
        const QByteArray named = family.type == Type::Counter && format_ == Format::Text ? name + "_total" : name;
        out_ += "# HELP " + named + ' ' + family.help + "\n# TYPE " + named + ' ' + typeName + '\n';
    }
    // NAME{LABELS,EXTRA} VALUE, LABELS being a device's as labelsOf() writes them; each
    // piece is appended as it is, as a scrape of 1000 devices writes some 30 000 lines.
    void sample(const QByteArray &name, const QByteArray &labels, const QByteArray &extra, const QByteArray &value)
    {
        out_ += name;
        if (!labels.isEmpty() || !extra.isEmpty()) {
            out_ += '{';
            out_ += labels;
            if (!labels.isEmpty() && !extra.isEmpty())
                out_ += ',';
            out_ += extra;
            out_ += '}';
        }
        out_ += ' ';
        out_ += value;
        out_ += '\n';
    }
    QByteArray finish()
    {
        if (format_ == Format::OpenMetrics)
            out_ += "# EOF\n";
        return out_;
    }

private:
    Format format_;
    QByteArray out_;
};

QByteArray secondsOfMs(qint64 ms)
{
    const QByteArray sign = ms < 0 ? "-" : "";
    const qint64 magnitude = ms < 0 ? -ms : ms;
    return sign + QByteArray::number(magnitude / 1000) + '.' +
           QByteArray::number(magnitude % 1000).rightJustified(3, '0');
}

// device="ADDRESS",NAME="VALUE"...: what every series of the device carries.
QByteArray labelsOf(const Device &device)
{
    QByteArray labels = "device=\"" + escaped(device.address) + '"';
    for (const auto &label : device.labels)
        labels += ',' + label.first + "=\"" + escaped(label.second) + '"';
    return labels;
}

QByteArray count(quint64 value)
{
    return QByteArray::number(value);
}

}  // namespace

Format formatFor(const QByteArray &accept)
{
    return accept.contains("application/openmetrics-text") ? Format::OpenMetrics : Format::Text;
}

QByteArray contentType(Format format)
{
    return format == Format::OpenMetrics ? "application/openmetrics-text; version=1.0.0; charset=utf-8"
                                         : "text/plain; version=0.0.4; charset=utf-8";
}

QVector<double> defaultBuckets()
{
    return {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30};
}

bool parseBuckets(const QByteArray &text, QVector<double> *bounds, QByteArray *why)
{
    QVector<double> parsed;
    for (const QByteArray &part : text.split(',')) {
        double value = 0;
        const char *end = part.constData() + part.size();
        const auto result = std::from_chars(part.constData(), end, value);
        if (part.isEmpty() || result.ec != std::errc() || result.ptr != end || !std::isfinite(value) || value <= 0) {
            *why = "'" + part + "' is no number of seconds above 0";
            return false;
        }
        if (!parsed.isEmpty() && value <= parsed.last()) {
            *why = "the bounds must rise: " + part + " follows " + number(parsed.last());
            return false;
        }
        parsed.append(value);
    }
    if (parsed.size() > maxBuckets) {
        *why = "more than " + QByteArray::number(maxBuckets) + " bounds";
        return false;
    }
    *bounds = parsed;
    return true;
}

QVector<double> withBound(QVector<double> bounds, double seconds)
{
    const auto at = std::lower_bound(bounds.begin(), bounds.end(), seconds);
    if (at == bounds.end() || *at != seconds)
        bounds.insert(at, seconds);
    return bounds;
}

Histogram::Histogram(QVector<double> bounds) : bounds_(std::move(bounds)), counts_(bounds_.size() + 1, 0)
{
}

void Histogram::observe(qint64 ms)
{
    const double seconds = static_cast<double>(ms) / 1000;
    const auto at = std::lower_bound(bounds_.begin(), bounds_.end(), seconds);
    ++counts_[static_cast<int>(at - bounds_.begin())];
    sumMs_ += ms;
    ++count_;
}

void Device::count(CycleState state, qint64 cycleMs, qint64 nowMs)
{
    const bool ok = state == CycleState::Ok;
    if (!ok && (up || std::all_of(std::begin(cycles), std::end(cycles), [](quint64 n) { return n == 0; })))
        ++outages;
    ++cycles[static_cast<int>(state)];
    cycleSeconds.observe(cycleMs);
    up = ok;
    if (ok)
        lastOkMs = nowMs;
}

QByteArray escaped(const QByteArray &value)
{
    QByteArray text;
    text.reserve(value.size());
    for (const char c : value) {
        if (c == '\\')
            text += "\\\\";
        else if (c == '"')
            text += "\\\"";
        else if (c == '\n')
            text += "\\n";
        else
            text += c;
    }
    return text;
}

QByteArray number(double value)
{
    if (std::isinf(value))
        return value > 0 ? "+Inf" : "-Inf";
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return QByteArray(text, static_cast<int>(result.ptr - text));
}

QByteArray exposition(const Watch &watch, const QList<const Device *> &devices, Format format)
{
    Writer out(format);
    out.family(buildInfo);
    out.sample(buildInfo.name, {}, "version=\"" + escaped(watch.version) + '"', "1");
    out.family(startTime);
    out.sample(startTime.name, {}, {}, secondsOfMs(watch.startMs));
    // Each device's labels, written once for all its series.
    QVector<QByteArray> labels;
    labels.reserve(devices.size());
    for (const Device *device : devices)
        labels.append(labelsOf(*device));
    const auto each = [&](const Family &family, const auto &write) {
        if (devices.isEmpty())
            return;
        out.family(family);
        for (int i = 0; i < devices.size(); ++i)
            write(*devices[i], labels[i]);
    };
    const QByteArray total = QByteArray(cycles.name) + "_total";
    QByteArray states[cycleStateCount];
    for (int state = 0; state < cycleStateCount; ++state)
        states[state] = QByteArray("state=\"") + cycleStates[state].metricLabel + '"';
    each(cycles, [&](const Device &device, const QByteArray &labels) {
        for (int state = 0; state < cycleStateCount; ++state)
            out.sample(total, labels, states[state], count(device.cycles[state]));
    });
    const QByteArray bucket = QByteArray(cycleSeconds.name) + "_bucket";
    const QByteArray sum = QByteArray(cycleSeconds.name) + "_sum";
    const QByteArray counted = QByteArray(cycleSeconds.name) + "_count";
    QHash<double, QByteArray> bounds;  // le="BOUND", written once a scrape
    const auto boundLabel = [&](double bound) -> const QByteArray & {
        auto found = bounds.find(bound);
        if (found == bounds.end())
            found = bounds.insert(bound, "le=\"" + number(bound) + '"');
        return *found;
    };
    each(cycleSeconds, [&](const Device &device, const QByteArray &labels) {
        const Histogram &histogram = device.cycleSeconds;
        quint64 below = 0;
        for (int i = 0; i <= histogram.bounds().size(); ++i) {
            below += histogram.counts()[i];
            const double bound = i < histogram.bounds().size() ? histogram.bounds()[i] : HUGE_VAL;
            out.sample(bucket, labels, boundLabel(bound), count(below));
        }
        out.sample(sum, labels, {}, secondsOfMs(histogram.sumMs()));
        out.sample(counted, labels, {}, count(histogram.count()));
    });
    each(up, [&](const Device &device, const QByteArray &labels) {
        out.sample(up.name, labels, {}, device.up ? "1" : "0");
    });
    if (std::any_of(devices.begin(), devices.end(), [](const Device *device) { return device->lastOkMs >= 0; })) {
        out.family(lastOk);
        for (int i = 0; i < devices.size(); ++i)
            if (devices[i]->lastOkMs >= 0)
                out.sample(lastOk.name, labels[i], {}, secondsOfMs(devices[i]->lastOkMs));
    }
    const auto counter = [&](const Family &family, quint64 Device::*field) {
        const QByteArray name = QByteArray(family.name) + "_total";
        each(family, [&](const Device &device, const QByteArray &labels) {
            out.sample(name, labels, {}, count(device.*field));
        });
    };
    counter(outages, &Device::outages);
    counter(restarts, &Device::restarts);
    counter(lostCycles, &Device::lostCycles);
    return out.finish();
}

}  // namespace metrics
