#pragma once

#include "nomrel/ReceiverStatus.h"

#include <QWidget>

class QLabel;
class QPlainTextEdit;

namespace nomrel
{

// The receiver's own small window: the port and its source, the state (with
// reconnection attempts), the fix, position, satellites, HDOP, what was
// received and dropped, and the last sentences. It shows a status it is
// given; it knows nothing of the receiver.
class ReceiverMonitor : public QWidget
{
    Q_OBJECT
public:
    explicit ReceiverMonitor(QWidget* parent = nullptr);

    void display(const nomrel::ReceiverStatus& status);

    QLabel* lblPort = nullptr;
    QLabel* lblSource = nullptr;
    QLabel* lblState = nullptr;
    QLabel* lblFix = nullptr;
    QLabel* lblPosition = nullptr;
    QLabel* lblTime = nullptr;
    QLabel* lblMotion = nullptr;
    QLabel* lblSatellites = nullptr;
    QLabel* lblHdop = nullptr;
    QLabel* lblAccuracy = nullptr;
    QLabel* lblCounts = nullptr;
    QPlainTextEdit* txtSentences = nullptr;
};

} // namespace nomrel
