// zepta-make-app-icon SIZE FILE: draws the program icon (the about box's
// logo) as a SIZE x SIZE PNG, for the icon theme's fixed sizes.

#include "gui/Branding.h"

#include <QGuiApplication>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const int size = argc == 3 ? std::atoi(argv[1]) : 0;
    if (size <= 0) {
        std::fprintf(stderr, "usage: zepta-make-app-icon SIZE FILE\n");
        return 2;
    }
    if (!branding::productLogo(size).save(QString::fromLocal8Bit(argv[2]), "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
