#include "platform/QtPresenters.h"

#include "platform/SharedWindow.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QTextBrowser>
#include <QTextCursor>
#include <QUrl>
#include <QVBoxLayout>

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
} // namespace

Presenters qtPresenters() { return {&showQtMessageBox, &showQtSaveDialog, &showQtHelpViewer, &QApplication::beep}; }

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

// A modal QFileDialog in save mode that asks before it replaces an existing file.
std::optional<QString> showQtSaveDialog(const SaveDialogRequest& request)
{
    if (nobodyToAnswer())
        return std::nullopt;
    QFileDialog dialog(QApplication::activeWindow(), request.title);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    QString suffix = request.defaultExtension;
    if (suffix.startsWith(QLatin1Char('.')))
        suffix.remove(0, 1);
    dialog.setDefaultSuffix(suffix);
    // "*.*" stands for every file on the platform it comes from; here many
    // files have no period, so the pattern that lists them all is "*".
    dialog.setNameFilter(request.filter == QLatin1String("*.*") ? QStringLiteral("*.* (*)") : request.filter);
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
    return files.first();
}

void showQtHelpViewer(const QString& helpFile) { HelpWindow::instance().open(helpFile); }
