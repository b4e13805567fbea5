#pragma once

#include "platform/SharedWindow.h"

#include <QDialog>
#include <QTimer>

class QFrame;
class QLabel;
class QPushButton;

// The product's title window: at start-up it shows for five seconds and hides
// itself; as the about box it has "&Close" and never closes by itself.
class frmSplash : public QDialog, public SharedWindow<frmSplash>
{
    Q_OBJECT
public:
    frmSplash();

    // Start-up mode: modal until the timer hides the window.
    void showStartup();
    // About mode: timer off, "&Close" shown, modal until "&Close".
    void showAbout();

    void SplashTimer_Timer();
    void Close_Click();

    static constexpr int kVersionMajor = ZEPTA_VERSION_MAJOR;
    static constexpr int kVersionMinor = ZEPTA_VERSION_MINOR;
    static constexpr int kVersionRevision = ZEPTA_VERSION_PATCH;

    QTimer SplashTimer;
    QFrame* Frame1 = nullptr;
    QLabel* lblProductAcronym = nullptr;
    QLabel* lblProductFamily = nullptr;
    QLabel* lblProductName = nullptr;
    QLabel* lblPlatform = nullptr;
    QLabel* lblVersion = nullptr;
    QLabel* imgProductLogo = nullptr;
    QLabel* imgCompanyLogo = nullptr;
    QPushButton* Close = nullptr;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void Form_Load();
    QLabel* addLabel(const QString& text, int left, int top, double points, bool bold);
};
