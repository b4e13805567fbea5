#pragma once

#include <QWidget>

class QLineEdit;
class QToolButton;

// An up-down control bound to a text box: each step writes the new number
// into the box as its text, so the box's own change handling runs as it does
// for typing. A step counts from the number the box shows (text it cannot
// read counts as 0, as the interval check counts it) and stops at the ends of
// the range, so the control itself never writes a number outside it.
class UpDown : public QWidget
{
    Q_OBJECT
public:
    UpDown(QLineEdit* buddy, QWidget* parent);

    void setRange(int minimum, int maximum);
    void setIncrement(int increment);
    int minimum() const { return mMinimum; }
    int maximum() const { return mMaximum; }
    int increment() const { return mIncrement; }

    void stepUp() { step(mIncrement); }
    void stepDown() { step(-mIncrement); }

    QToolButton* upButton = nullptr;
    QToolButton* downButton = nullptr;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void step(int delta);

    QLineEdit* mBuddy;
    int mMinimum = 0;
    int mMaximum = 100;
    int mIncrement = 1;
};
