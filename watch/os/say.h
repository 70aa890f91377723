// The watch's messages, on standard error, each a line that begins with the program's name.
#pragma once

#include <QByteArray>

// The program's name, as its messages begin.
extern const char *const self;

// "testVRN730-watch: TEXT"
void say(const QByteArray &text);
