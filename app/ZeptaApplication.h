#pragma once

#include <QApplication>

// The application object. Errors that no procedure handled end here: the user
// sees "Zepta - Error" with the message and the program ends with status 1.
class ZeptaApplication : public QApplication
{
public:
    ZeptaApplication(int& argc, char** argv);
    ~ZeptaApplication() override;

    bool notify(QObject* receiver, QEvent* event) override;

    // Shows the error report and ends the program.
    [[noreturn]] static void reportUncaughtError(const QString& message);
};
