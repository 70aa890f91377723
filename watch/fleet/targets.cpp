#include "fleet/targets.h"

#include <QHash>

#include <algorithm>

namespace targets {

namespace {

// Label names a target may not take: the watch's own, and those Prometheus sets itself.
const char *const reservedNames[] = {"device", "state", "le", "version", "job", "instance"};

bool isLabelName(const QByteArray &name)
{
    if (name.isEmpty() || name.size() > 64 || name.startsWith("__"))
        return false;
    for (int i = 0; i < name.size(); ++i) {
        const char c = name[i];
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
        if (!letter && !(i > 0 && c >= '0' && c <= '9'))
            return false;
    }
    return true;
}

// Printable UTF-8: a label's value goes into every series of the device.
bool isLabelValue(const QByteArray &value)
{
    if (value.isEmpty() || value.size() > maxValueBytes)
        return false;
    for (int i = 0; i < value.size();) {
        const auto c = static_cast<unsigned char>(value[i]);
        int extra = 0;
        if (c < 0x80)
            extra = 0;
        else if (c >= 0xc2 && c <= 0xdf)
            extra = 1;
        else if (c >= 0xe0 && c <= 0xef)
            extra = 2;
        else if (c >= 0xf0 && c <= 0xf4)
            extra = 3;
        else
            return false;
        if (c < 0x20 || c == 0x7f || i + extra >= value.size())
            return false;
        for (int k = 1; k <= extra; ++k)
            if ((static_cast<unsigned char>(value[i + k]) & 0xc0) != 0x80)
                return false;
        const auto second = extra > 0 ? static_cast<unsigned char>(value[i + 1]) : 0;
        if ((c == 0xe0 && second < 0xa0) || (c == 0xed && second >= 0xa0) || (c == 0xf0 && second < 0x90) ||
            (c == 0xf4 && second >= 0x90))
            return false;  // an overlong form, a surrogate, or past U+10FFFF
        i += 1 + extra;
    }
    return true;
}

QList<QByteArray> wordsOf(const QByteArray &line)
{
    QList<QByteArray> words;
    for (const QByteArray &word : line.split(' '))
        for (const QByteArray &part : word.split('\t'))
            if (!part.isEmpty())
                words.append(part);
    return words;
}

bool parseLabel(const QByteArray &word, Labels *labels, QByteArray *why)
{
    const int equals = static_cast<int>(word.indexOf('='));
    if (equals < 0) {
        *why = "'" + word + "' is no NAME=VALUE label";
        return false;
    }
    const QByteArray name = word.left(equals);
    const QByteArray value = word.mid(equals + 1);
    if (!isLabelName(name)) {
        *why = "'" + name + "' is no label name: letters, digits and '_', not first a digit, not '__' first";
        return false;
    }
    if (std::find(std::begin(reservedNames), std::end(reservedNames), name) != std::end(reservedNames)) {
        *why = "the label name '" + name + "' is the watch's own or Prometheus's";
        return false;
    }
    if (!isLabelValue(value)) {
        *why =
            "the value of " + name + " must be 1 to " + QByteArray::number(maxValueBytes) + " bytes of printable UTF-8";
        return false;
    }
    for (const auto &label : *labels)
        if (label.first == name) {
            *why = "the label " + name + " is given twice";
            return false;
        }
    if (labels->size() == maxLabels) {
        *why = "more than " + QByteArray::number(maxLabels) + " labels";
        return false;
    }
    labels->append({name, value});
    return true;
}

}  // namespace

bool isAddress(const QByteArray &text)
{
    if (text.isEmpty() || text.size() > 253 || text.startsWith('-'))
        return false;
    return std::none_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= ' ' || byte == 0x7f || c == '/';
    });
}

bool parse(const QByteArray &text, QList<Target> *parsed, QByteArray *why)
{
    QList<Target> found;
    QHash<QByteArray, int> lineOf;
    const QList<QByteArray> lines = text.split('\n');
    for (int number = 1; number <= lines.size(); ++number) {
        QByteArray line = lines[number - 1];
        const int hash = static_cast<int>(line.indexOf('#'));
        if (hash >= 0)
            line.truncate(hash);
        if (line.endsWith('\r'))
            line.chop(1);
        const QList<QByteArray> words = wordsOf(line);
        if (words.isEmpty())
            continue;
        const QByteArray at = "line " + QByteArray::number(number) + ": ";
        Target target;
        target.address = words[0];
        if (!isAddress(target.address) || target.address.contains(':')) {
            *why = at + "'" + target.address + "' is no IPv4 address or host name";
            return false;
        }
        if (lineOf.contains(target.address)) {
            *why = at + target.address + " is already on line " + QByteArray::number(lineOf[target.address]);
            return false;
        }
        for (int i = 1; i < words.size(); ++i)
            if (!parseLabel(words[i], &target.labels, why)) {
                *why = at + *why;
                return false;
            }
        if (found.size() == maxTargets) {
            *why = at + "more than " + QByteArray::number(maxTargets) + " devices";
            return false;
        }
        lineOf.insert(target.address, number);
        found.append(target);
    }
    *parsed = found;
    return true;
}

}  // namespace targets
