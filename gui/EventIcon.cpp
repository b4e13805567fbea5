#include "gui/EventIcon.h"

#include <QFocusEvent>
#include <QImageReader>
#include <QMouseEvent>
#include <QPainter>
#include <QResizeEvent>

namespace
{
// Room left around the picture so the chosen slot's highlight shows as a frame.
constexpr int kMargin = 3;

// Seen only when neither the slot's icon nor the fallback icon can be read.
QImage placeholderPicture()
{
    QImage image(32, 32, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0x75, 0x75, 0x75), 2, Qt::DashLine));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(1, 1, 30, 30), 5, 5);
    return image;
}

// The largest image of the file: icon files may hold several sizes.
QImage readLargest(const QString& path)
{
    QImageReader reader(path);
    QImage best;
    do {
        QImage image = reader.read();
        if (image.isNull())
            break;
        if (best.isNull() || image.width() * image.height() > best.width() * best.height())
            best = std::move(image);
    } while (reader.jumpToNextImage());
    return best;
}
} // namespace

EventIcon::EventIcon(std::int16_t index, QWidget* parent)
    : QLabel(parent)
    , mIndex(index)
{
    setObjectName(QStringLiteral("Event_Icon_%1").arg(index));
    setFocusPolicy(Qt::StrongFocus);
    setAlignment(Qt::AlignCenter);
    // Its own role: the window's client area paints with another one, which
    // children would otherwise inherit.
    setBackgroundRole(QPalette::Window);
    setAutoFillBackground(true);
    setBackground(palette().color(QPalette::Active, QPalette::Button));
    mPicture = placeholderPicture();
    showPicture(mPicture);
}

void EventIcon::setBackground(const QColor& colour)
{
    QPalette p = palette();
    p.setColor(QPalette::Window, colour);
    setPalette(p);
}

QColor EventIcon::background() const { return palette().color(QPalette::Active, QPalette::Window); }

bool EventIcon::loadPicture(const QString& path)
{
    QImage image = readLargest(path);
    if (image.isNull())
        return false;
    mPicture = std::move(image);
    showPicture(mPicture);
    return true;
}

void EventIcon::showPicture(const QImage& picture)
{
    const qreal ratio = devicePixelRatioF();
    const QSize box = (size() - QSize(2 * kMargin, 2 * kMargin)).expandedTo(QSize(1, 1)) * ratio;
    QImage scaled = picture.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    scaled.setDevicePixelRatio(ratio);
    setPixmap(QPixmap::fromImage(scaled));
}

void EventIcon::focusInEvent(QFocusEvent* event)
{
    QLabel::focusInEvent(event);
    switch (event->reason()) {
    case Qt::MouseFocusReason:
        break; // the press that gave it reports the choice
    case Qt::ActiveWindowFocusReason:
    case Qt::PopupFocusReason:
        emit focusOnActivation(mIndex);
        break;
    default:
        emit gotFocus(mIndex);
        break;
    }
}

void EventIcon::mousePressEvent(QMouseEvent* event)
{
    QLabel::mousePressEvent(event);
    if (hasFocus())
        emit gotFocus(mIndex);
}

void EventIcon::resizeEvent(QResizeEvent* event)
{
    QLabel::resizeEvent(event);
    showPicture(mPicture);
}
