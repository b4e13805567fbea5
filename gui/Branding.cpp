#include "gui/Branding.h"

#include <QPainter>
#include <QPainterPath>
#include <QSysInfo>

namespace branding
{

namespace
{
const QColor kTeal(0x00, 0x6d, 0x77);
const QColor kOrange(0xe2, 0x6d, 0x2c);
const QColor kSand(0xf4, 0xe9, 0xd8);
} // namespace

QPixmap productLogo(int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);
    // Compass ring with four ticks.
    p.setPen(QPen(kTeal, 4));
    p.setBrush(kSand);
    p.drawEllipse(QPointF(32, 34), 26, 26);
    p.setPen(QPen(kTeal, 3, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(32, 4), QPointF(32, 11));
    p.drawLine(QPointF(32, 57), QPointF(32, 63));
    p.drawLine(QPointF(3, 34), QPointF(10, 34));
    p.drawLine(QPointF(54, 34), QPointF(61, 34));
    // Map pin.
    QPainterPath pin;
    pin.moveTo(32, 54);
    pin.cubicTo(22, 40, 18, 34, 18, 26);
    pin.arcTo(QRectF(18, 12, 28, 28), 180, -180);
    pin.cubicTo(46, 34, 42, 40, 32, 54);
    p.setPen(Qt::NoPen);
    p.setBrush(kOrange);
    p.drawPath(pin);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(32, 26), 6, 6);
    return pixmap;
}

QPixmap companyLogo(int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(kSand);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 100.0, size / 100.0);
    p.setPen(Qt::NoPen);
    p.setBrush(kTeal);
    p.drawRoundedRect(QRectF(6, 6, 88, 88), 14, 14);
    // A "Z" drawn as a contour line across the mark.
    QPainterPath z;
    z.moveTo(24, 28);
    z.lineTo(76, 28);
    z.lineTo(28, 72);
    z.lineTo(78, 72);
    p.setPen(QPen(kSand, 9, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(z);
    p.setPen(Qt::NoPen);
    p.setBrush(kOrange);
    p.drawEllipse(QPointF(76, 28), 7, 7);
    return pixmap;
}

QIcon applicationIcon()
{
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128})
        icon.addPixmap(productLogo(size));
    return icon;
}

QString platformLabel()
{
    QString kernel = QSysInfo::kernelType();
    if (kernel == QLatin1String("winnt"))
        kernel = QStringLiteral("Windows");
    else if (kernel == QLatin1String("darwin"))
        kernel = QStringLiteral("macOS");
    else if (!kernel.isEmpty())
        kernel[0] = kernel[0].toUpper();
    return QStringLiteral("%1 %2-bit").arg(kernel).arg(QSysInfo::WordSize);
}

QString versionText(int major, int minor, int revision)
{
    return QStringLiteral("Version %1.%2r%3").arg(major).arg(minor).arg(revision);
}

} // namespace branding
