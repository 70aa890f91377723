#include "os/say.h"

#include <cstdio>

const char *const self = "testVRN730-watch";

void say(const QByteArray &text)
{
    std::fprintf(stderr, "%s: %s\n", self, text.constData());
}
