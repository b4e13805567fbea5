#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>

// Our own branding: drawn in code, so no picture files are needed.
namespace branding
{

QPixmap productLogo(int size = 64); // a map pin over a compass ring
QPixmap companyLogo(int size = 385); // the maker's mark
QIcon applicationIcon();

// "Linux 64-bit" and the like: the platform this build runs on.
QString platformLabel();

// "Version " + major + "." + minor + "r" + revision.
QString versionText(int major, int minor, int revision);

} // namespace branding
