#pragma once

#include <QObject>

class QWidget;

/// While it lives, the user's clicks, keys and close requests do not reach window: its handlers wait
/// for the running one to end, although the event loop runs and the window repaints.
class InputBlocker final : public QObject {
public:
    explicit InputBlocker(QWidget* window);
    ~InputBlocker() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* m_window;
};
