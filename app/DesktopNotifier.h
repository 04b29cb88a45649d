#pragma once
// Shows the window's desktop notifications: through the freedesktop
// Notifications service over D-Bus on Linux, as tray messages on Windows.
// Calls never wait for the service: its answers come through the event loop.

#include <QObject>
#include <QString>
#include <memory>
#include <optional>
#include <vector>

#include "eventlog/DesktopNotices.h"

namespace ardenvel::app {

// The one message a burst of notices makes where only one can be up at a
// time (the Windows tray): the newest critical notice, or else the newest,
// with the other notices' summaries after its body. None for no notices.
std::optional<DesktopNotice> combinedNotice(const std::vector<DesktopNotice>& notices);

class DesktopNotifier : public QObject {
    Q_OBJECT

public:
    explicit DesktopNotifier(QObject* parent = nullptr);
    ~DesktopNotifier() override;

    void show(const std::vector<DesktopNotice>& notices);
    // Whether a notification for the enclosure and kind is up, as far as
    // the service has told.
    bool showing(unsigned slot, EventKind kind) const;
    // Another session bus than the user's, by its address: for tests.
    void useBus(const QString& address);

private slots:
    void onClosed(uint id, uint reason);

private:
    void listen();
    void send(const DesktopNotice& notice);

    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace ardenvel::app
