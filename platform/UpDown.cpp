#include "platform/UpDown.h"

#include "platform/NumberText.h"

#include <QLineEdit>
#include <QToolButton>

#include <algorithm>

UpDown::UpDown(QLineEdit* buddy, QWidget* parent)
    : QWidget(parent)
    , mBuddy(buddy)
{
    auto makeArrow = [this](Qt::ArrowType arrow, const char* name) {
        auto* button = new QToolButton(this);
        button->setObjectName(QLatin1String(name));
        button->setArrowType(arrow);
        button->setAutoRepeat(true);
        button->setFocusPolicy(Qt::NoFocus);
        return button;
    };
    upButton = makeArrow(Qt::UpArrow, "up");
    downButton = makeArrow(Qt::DownArrow, "down");
    connect(upButton, &QToolButton::clicked, this, &UpDown::stepUp);
    connect(downButton, &QToolButton::clicked, this, &UpDown::stepDown);
}

void UpDown::setRange(int minimum, int maximum)
{
    mMinimum = minimum;
    mMaximum = maximum;
}

void UpDown::setIncrement(int increment) { mIncrement = increment; }

void UpDown::resizeEvent(QResizeEvent*)
{
    const int upper = height() / 2;
    upButton->setGeometry(0, 0, width(), upper);
    downButton->setGeometry(0, upper, width(), height() - upper);
}

void UpDown::step(int delta)
{
    double current = 0.0;
    if (const auto number = numtext::parse(mBuddy->text()))
        current = numtext::roundHalfEven(*number);
    // Clamp in double first: the box may hold any number.
    const double next = std::min<double>(mMaximum, std::max<double>(mMinimum, current + delta));
    mBuddy->setText(QString::number(static_cast<int>(next)));
}
