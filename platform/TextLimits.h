#pragma once

// Length limits of text boxes, as the platform's boxes have them.

#include <QObject>
#include <QString>

class QLineEdit;
class QPlainTextEdit;

// A plain-text box that holds at most maxLength characters: typing beyond it
// does nothing, and a paste is cut to what still fits (the text after the
// insertion point is kept).
void limitPlainTextLength(QPlainTextEdit* edit, int maxLength);

// Limits what the user types into a box to a number of characters, like a
// text box's maximum length, without cutting a longer text that the program
// puts there: a stored value is shown and saved whole, and the user may still
// shorten it. An edit that would make the text longer than both the limit and
// the text before it is undone.
class TypedLengthLimit : public QObject
{
    Q_OBJECT
public:
    TypedLengthLimit(QLineEdit* box, int maximum);
    int maximum() const { return mMaximum; }

private:
    void edited(const QString& text);

    QLineEdit* mBox;
    int mMaximum;
    QString mBefore; // the box's text before the edit being checked
    int mCursorBefore = 0;
};
