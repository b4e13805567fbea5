#include "capture/EventIcon.h"

#include <QFocusEvent>

EventIcon::EventIcon(std::int16_t index, QWidget* parent)
    : QLabel(parent)
    , mIndex(index)
{
    setObjectName(QStringLiteral("Event_Icon_%1").arg(index));
    setFocusPolicy(Qt::StrongFocus);
    setAlignment(Qt::AlignCenter);
    setAutoFillBackground(true);
    setBackground(palette().color(QPalette::Button));
}

void EventIcon::setBackground(const QColor& colour)
{
    QPalette p = palette();
    p.setColor(QPalette::Window, colour);
    setPalette(p);
}

void EventIcon::focusInEvent(QFocusEvent* event)
{
    QLabel::focusInEvent(event);
    emit gotFocus(mIndex);
}
