#pragma once

#include <QImage>
#include <QLabel>

#include <cstdint>

// A palette slot's picture box. It takes the input focus by click and by Tab
// and reports each time the user gives it the focus (gotFocus). Focus that
// merely comes back with the window (activation, a closed menu or box) is
// reported apart (focusOnActivation), so that a choice the program cleared is
// not silently made again. A click on the icon that already holds the focus
// counts as giving it the focus: the user sees the click choose it.
class EventIcon : public QLabel
{
    Q_OBJECT
public:
    EventIcon(std::int16_t index, QWidget* parent);

    std::int16_t index() const { return mIndex; }
    void setBackground(const QColor& colour);
    QColor background() const;

    // Loads a picture file (icon, bitmap or any format the image readers
    // know), scaled to fit the box. On failure the box keeps its picture and
    // false is returned.
    bool loadPicture(const QString& path);
    // The picture as loaded, before scaling.
    const QImage& picture() const { return mPicture; }

signals:
    void gotFocus(std::int16_t index);
    void focusOnActivation(std::int16_t index);

protected:
    void focusInEvent(QFocusEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void showPicture(const QImage& picture);

    std::int16_t mIndex;
    QImage mPicture;
};
