// How the watch finds testVRN730 and learns its defaults.
#pragma once

#include <QByteArray>
#include <QString>

// testVRN730 beside this program first, then on PATH; empty when neither has it.
QString findClient();

struct ClientDefaults {
    QByteArray period, timeout, ip;
};

// The client's defaults, from the last line of its usage text:
// "testVRN730 -p 500 -t 1000 -i ADDRESS". False when CLIENT prints no such text.
bool readClientDefaults(const QString &client, ClientDefaults *defaults);
