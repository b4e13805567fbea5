#pragma once

#include <QTimer>
#include <QWidget>

class QLabel;
class QPlainTextEdit;

namespace nomrel
{

class SerialReceiver;

// The receiver's own small window: the port and its state, the fix, position,
// satellites, HDOP, what was received and dropped, and the last sentences.
class ReceiverMonitor : public QWidget
{
    Q_OBJECT
public:
    explicit ReceiverMonitor(const SerialReceiver& receiver, QWidget* parent = nullptr);

    // Shows the receiver's present state (also done on each change while shown).
    void refresh();

    QLabel* lblPort = nullptr;
    QLabel* lblState = nullptr;
    QLabel* lblFix = nullptr;
    QLabel* lblPosition = nullptr;
    QLabel* lblTime = nullptr;
    QLabel* lblMotion = nullptr;
    QLabel* lblSatellites = nullptr;
    QLabel* lblHdop = nullptr;
    QLabel* lblCounts = nullptr;
    QPlainTextEdit* txtSentences = nullptr;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    const SerialReceiver& mReceiver;
    QTimer mRefresh;
};

} // namespace nomrel
