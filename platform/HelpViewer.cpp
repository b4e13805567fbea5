#include "platform/HelpViewer.h"

#include "platform/SharedWindow.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QTextBrowser>
#include <QTextCursor>
#include <QUrl>
#include <QVBoxLayout>
#include <QWidget>

#include <utility>

namespace
{
HelpPresenter& presenter()
{
    static HelpPresenter current;
    return current;
}

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

void Show_Help(const QString& helpFile)
{
    if (presenter())
        presenter()(helpFile);
    else
        showQtHelpViewer(helpFile);
}

HelpPresenter setHelpPresenter(HelpPresenter replacement) { return std::exchange(presenter(), std::move(replacement)); }

void showQtHelpViewer(const QString& helpFile) { HelpWindow::instance().open(helpFile); }
