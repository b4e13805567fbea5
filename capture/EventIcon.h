#pragma once

#include <QLabel>

#include <cstdint>

// A palette slot's picture box: it takes the input focus by click and by Tab,
// and tells the window when it does.
class EventIcon : public QLabel
{
    Q_OBJECT
public:
    EventIcon(std::int16_t index, QWidget* parent);

    std::int16_t index() const { return mIndex; }
    void setBackground(const QColor& colour);

signals:
    void gotFocus(std::int16_t index);

protected:
    void focusInEvent(QFocusEvent* event) override;

private:
    std::int16_t mIndex;
};
