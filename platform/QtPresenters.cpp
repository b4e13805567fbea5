#include "platform/QtPresenters.h"

#include "platform/SharedWindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QTextBrowser>
#include <QTextCursor>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>
#include <cstdio>

namespace
{
bool nobodyToAnswer() { return QGuiApplication::platformName() == QLatin1String("offscreen"); }

// A plain browser window with the few buttons help needs.
class HelpWindow : public QWidget, public SharedWindow<HelpWindow>
{
public:
    HelpWindow()
    {
        setObjectName(QStringLiteral("HelpWindow"));
        setWindowTitle(QStringLiteral("Zepta Help"));
        resize(720, 600);

        browser = new QTextBrowser(this);
        browser->setObjectName(QStringLiteral("HelpBrowser"));
        browser->setOpenExternalLinks(true);

        auto* back = new QPushButton(QStringLiteral("&Back"), this);
        auto* forward = new QPushButton(QStringLiteral("&Forward"), this);
        auto* home = new QPushButton(QStringLiteral("&Contents"), this);
        back->setEnabled(false);
        forward->setEnabled(false);
        connect(back, &QPushButton::clicked, browser, &QTextBrowser::backward);
        connect(forward, &QPushButton::clicked, browser, &QTextBrowser::forward);
        connect(home, &QPushButton::clicked, browser, &QTextBrowser::home);
        connect(browser, &QTextBrowser::backwardAvailable, back, &QPushButton::setEnabled);
        connect(browser, &QTextBrowser::forwardAvailable, forward, &QPushButton::setEnabled);
        connect(browser, &QTextBrowser::sourceChanged, this, [this] {
            const QString title = browser->documentTitle();
            setWindowTitle(title.isEmpty() ? QStringLiteral("Zepta Help") : title);
        });

        auto* buttons = new QHBoxLayout;
        buttons->addWidget(back);
        buttons->addWidget(forward);
        buttons->addWidget(home);
        buttons->addStretch();
        auto* layout = new QVBoxLayout(this);
        layout->addLayout(buttons);
        layout->addWidget(browser);
    }

    void open(const QString& helpFile)
    {
        // Read afresh each time, so a replaced file shows as it is now, and
        // always from the top of its first page.
        const QUrl url = QUrl::fromLocalFile(helpFile);
        if (browser->source() == url)
            browser->reload();
        else
            browser->setSource(url);
        browser->clearHistory();
        browser->moveCursor(QTextCursor::Start);
        browser->ensureCursorVisible();
        show();
        raise();
        activateWindow();
    }

    QTextBrowser* browser = nullptr;
};

class QtProgress final : public Progress
{
public:
    explicit QtProgress(const ProgressRequest& request)
        : mDialog(QApplication::activeWindow())
    {
        mDialog.setObjectName(QStringLiteral("ProgressDialog"));
        mDialog.setWindowTitle(QStringLiteral("Zepta - ") + request.subject);
        mDialog.setLabelText(request.text);
        mBar = new QProgressBar(&mDialog);
        mBar->setFormat(QStringLiteral("%v of %m"));
        mDialog.setBar(mBar);
        // Modal: the task runs on the window's thread, and only a modal
        // dialog hands that thread to the Cancel button while it works.
        mDialog.setWindowModality(Qt::ApplicationModal);
        mDialog.setAutoReset(false);
        mDialog.setAutoClose(false);
        mDialog.setMinimumDuration(request.showAfterMs);
        mDialog.setRange(0, static_cast<int>(std::clamp<std::int64_t>(request.total, 0, INT_MAX)));
        mDialog.setValue(0);
    }

    // The bar's text changes at every step, and a bar whose text changes
    // repaints at once, waiting on the display: between a few paints a
    // second it takes its value without painting.
    bool advance(std::int64_t done) override
    {
        const bool paint = !mPainted.isValid() || mPainted.hasExpired(kPaintEveryMs);
        if (paint)
            mPainted.start();
        mBar->setUpdatesEnabled(paint);
        mDialog.setValue(static_cast<int>(std::clamp<std::int64_t>(done, 0, mDialog.maximum())));
        return !mDialog.wasCanceled();
    }

private:
    static constexpr qint64 kPaintEveryMs = 100;
    QProgressDialog mDialog;
    QProgressBar* mBar = nullptr; // owned by the dialog
    QElapsedTimer mPainted;
};
} // namespace

Presenters qtPresenters()
{
    return {&showQtMessageBox, &showQtSaveDialog, &showQtHelpViewer, &QApplication::beep, &showQtProgress};
}

MessageAnswer showQtMessageBox(const Message& message)
{
    if (nobodyToAnswer()) {
        std::fprintf(stderr, "%s\n%s\n", qPrintable(message.title), qPrintable(message.text));
        return message.kind == MessageKind::YesNo ? MessageAnswer::No : MessageAnswer::Ok;
    }
    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(message.title);
    box.setText(message.text);
    switch (message.kind) {
    case MessageKind::Exclamation:
        box.setIcon(QMessageBox::Warning);
        box.setStandardButtons(QMessageBox::Ok);
        break;
    case MessageKind::Plain:
        box.setIcon(QMessageBox::NoIcon);
        box.setStandardButtons(QMessageBox::Ok);
        break;
    case MessageKind::YesNo:
        box.setIcon(QMessageBox::NoIcon);
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        break;
    }
    const int answer = box.exec();
    if (message.kind != MessageKind::YesNo)
        return MessageAnswer::Ok;
    return answer == QMessageBox::Yes ? MessageAnswer::Yes : MessageAnswer::No;
}

// A modal QFileDialog in save mode that asks before it replaces an existing
// file. The extension a name without one gets follows the selected type, so
// the question about replacing names the file that would be written.
std::optional<SaveDialogChoice> showQtSaveDialog(const SaveDialogRequest& request)
{
    if (nobodyToAnswer())
        return std::nullopt;
    QFileDialog dialog(QApplication::activeWindow(), request.title);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    if (request.fileTypes.isEmpty()) {
        dialog.setNameFilter(QStringLiteral("All files (*)"));
    } else {
        dialog.setNameFilters(request.fileTypes);
        dialog.selectNameFilter(request.fileType);
        dialog.setDefaultSuffix(fileTypeExtension(dialog.selectedNameFilter()));
        QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog,
            [&dialog](const QString& type) { dialog.setDefaultSuffix(fileTypeExtension(type)); });
    }
    const QFileInfo offered(request.fileName);
    if (!request.fileName.isEmpty()) {
        dialog.setDirectory(offered.absolutePath());
        dialog.selectFile(offered.fileName());
    }
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty())
        return std::nullopt;
    return SaveDialogChoice(files.first(), request.fileTypes.isEmpty() ? QString() : dialog.selectedNameFilter());
}

void showQtHelpViewer(const QString& helpFile) { HelpWindow::instance().open(helpFile); }

std::unique_ptr<Progress> showQtProgress(const ProgressRequest& request)
{
    return std::make_unique<QtProgress>(request);
}
