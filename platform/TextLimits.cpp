#include "platform/TextLimits.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>
#include <memory>

void limitPlainTextLength(QPlainTextEdit* edit, int maxLength)
{
    struct LastChange {
        int position = 0;
        int added = 0;
    };
    auto last = std::make_shared<LastChange>();
    QObject::connect(
        edit->document(), &QTextDocument::contentsChange, edit, [last](int position, int /*removed*/, int added) {
            *last = {position, added};
        });
    QObject::connect(edit, &QPlainTextEdit::textChanged, edit, [edit, maxLength, last] {
        QTextDocument* document = edit->document();
        const int length = document->characterCount() - 1; // without the closing paragraph mark
        if (length <= maxLength)
            return;
        // Cut the excess from the end of the text just inserted, or from the
        // end of the text when it was too long already.
        int end = last->position + last->added;
        if (last->added <= 0 || end > length)
            end = length;
        int start = std::max(end - (length - maxLength), 0);
        if (start > 0 && document->characterAt(start - 1).isHighSurrogate())
            --start; // never split a surrogate pair
        QTextCursor cursor(document);
        cursor.joinPreviousEditBlock();
        cursor.setPosition(start);
        cursor.setPosition(end, QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
        cursor.endEditBlock();
        if (length - (end - start) > maxLength) {
            int keep = maxLength;
            if (document->characterAt(keep - 1).isHighSurrogate())
                --keep;
            cursor.setPosition(keep);
            cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
            cursor.removeSelectedText();
        }
    });
}

TypedLengthLimit::TypedLengthLimit(QLineEdit* box, int maximum)
    : QObject(box)
    , mBox(box)
    , mMaximum(maximum)
    , mBefore(box->text())
{
    // textEdited comes only from the user; textChanged also from the program.
    connect(box, &QLineEdit::textEdited, this, &TypedLengthLimit::edited);
    connect(box, &QLineEdit::textChanged, this, [this](const QString& text) { mBefore = text; });
    connect(box, &QLineEdit::cursorPositionChanged, this, [this](int, int now) { mCursorBefore = now; });
}

void TypedLengthLimit::edited(const QString& text)
{
    if (text.size() <= mMaximum || text.size() <= mBefore.size())
        return;
    const int cursor = mCursorBefore;
    mBox->setText(mBefore);
    mBox->setCursorPosition(cursor);
}
