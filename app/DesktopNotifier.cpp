#include "app/DesktopNotifier.h"

#include <QApplication>
#include <QWidget>
#include <map>
#include <optional>
#include <utility>

#ifdef Q_OS_WIN
#include <QSystemTrayIcon>
#else
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#endif

namespace ardenvel::app {

std::optional<DesktopNotice> combinedNotice(const std::vector<DesktopNotice>& notices) {
    if (notices.empty()) return std::nullopt;
    auto lead = notices.end() - 1;
    for (auto it = notices.begin(); it != notices.end(); ++it)
        if (it->critical) lead = it;
    DesktopNotice n = *lead;
    for (auto it = notices.begin(); it != notices.end(); ++it)
        if (it != lead) n.body += "\n" + it->summary;
    return n;
}

#ifdef Q_OS_WIN

struct DesktopNotifier::Impl {
    std::unique_ptr<QSystemTrayIcon> tray;
};

DesktopNotifier::DesktopNotifier(QObject* parent) : QObject(parent), impl_(std::make_unique<Impl>()) {}
DesktopNotifier::~DesktopNotifier() = default;

void DesktopNotifier::useBus(const QString&) {}
bool DesktopNotifier::showing(unsigned, EventKind) const {
    return false;
}
void DesktopNotifier::listen() {}
void DesktopNotifier::send(const DesktopNotice&) {}
void DesktopNotifier::onClosed(uint, uint) {}

void DesktopNotifier::show(const std::vector<DesktopNotice>& notices) {
    const std::optional<DesktopNotice> n = combinedNotice(notices);
    if (!n || !QSystemTrayIcon::isSystemTrayAvailable()) return;
    if (!impl_->tray) {
        impl_->tray = std::make_unique<QSystemTrayIcon>(QApplication::windowIcon());
        impl_->tray->setToolTip(QApplication::applicationName());
        // The message and the icon lead back to the window it is about.
        auto bringUp = [this] {
            auto* window = qobject_cast<QWidget*>(parent());
            if (window == nullptr) return;
            window->showNormal();
            window->raise();
            window->activateWindow();
        };
        connect(impl_->tray.get(), &QSystemTrayIcon::messageClicked, this, bringUp);
        connect(impl_->tray.get(), &QSystemTrayIcon::activated, this, bringUp);
        impl_->tray->show();
    }
    impl_->tray->showMessage(QString::fromStdString(n->summary), QString::fromStdString(n->body),
                             n->critical ? QSystemTrayIcon::Critical : QSystemTrayIcon::Warning,
                             n->critical ? 24 * 60 * 60 * 1000 : 10000);
}

#else

namespace {
constexpr char kService[] = "org.freedesktop.Notifications";
constexpr char kPath[] = "/org/freedesktop/Notifications";
constexpr char kInterface[] = "org.freedesktop.Notifications";
}  // namespace

struct DesktopNotifier::Impl {
    // Per enclosure and kind: the id the service gave the shown one, and a
    // newer notice that waits for the answer to the call before it.
    struct Slot {
        uint id = 0;
        bool inFlight = false;
        std::optional<DesktopNotice> waiting;
    };
    std::optional<QDBusConnection> bus;
    std::map<std::pair<unsigned, int>, Slot> shown;
};

DesktopNotifier::DesktopNotifier(QObject* parent) : QObject(parent), impl_(std::make_unique<Impl>()) {}
DesktopNotifier::~DesktopNotifier() = default;

void DesktopNotifier::useBus(const QString& address) {
    impl_->bus = QDBusConnection::connectToBus(address, QStringLiteral("ardenvel-notifications"));
    impl_->shown.clear();
    listen();
}

void DesktopNotifier::listen() {
    // A notification the user dismissed is not replaced: the next is new.
    impl_->bus->connect(QString::fromLatin1(kService), QString::fromLatin1(kPath),
                        QString::fromLatin1(kInterface), QStringLiteral("NotificationClosed"), this,
                        SLOT(onClosed(uint, uint)));
}

bool DesktopNotifier::showing(unsigned slot, EventKind kind) const {
    const auto it = impl_->shown.find({slot, static_cast<int>(kind)});
    return it != impl_->shown.end() && it->second.id != 0;
}

void DesktopNotifier::onClosed(uint id, uint) {
    for (auto& [key, slot] : impl_->shown)
        if (slot.id == id) slot.id = 0;
}

void DesktopNotifier::show(const std::vector<DesktopNotice>& notices) {
    for (const DesktopNotice& n : notices) {
        Impl::Slot& slot = impl_->shown[{n.slot, static_cast<int>(n.kind)}];
        if (slot.inFlight) {
            slot.waiting = n;  // sent with the id the call in flight brings
        } else {
            send(n);
        }
    }
}

void DesktopNotifier::send(const DesktopNotice& n) {
    if (!impl_->bus) {
        impl_->bus = QDBusConnection::sessionBus();
        listen();
    }
    if (!impl_->bus->isConnected()) return;
    const std::pair<unsigned, int> key{n.slot, static_cast<int>(n.kind)};
    Impl::Slot& slot = impl_->shown[key];
    QVariantMap hints;
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue<uchar>(n.critical ? 2 : 1));
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("ardenvel"));
    QDBusMessage call =
        QDBusMessage::createMethodCall(QString::fromLatin1(kService), QString::fromLatin1(kPath),
                                       QString::fromLatin1(kInterface), QStringLiteral("Notify"));
    // Critical ones never expire; the others as the server sees fit.
    call << QStringLiteral("Ardenvel") << slot.id << QStringLiteral("ardenvel")
         << QString::fromStdString(n.summary) << QString::fromStdString(n.body) << QStringList() << hints
         << (n.critical ? 0 : -1);
    slot.inFlight = true;
    auto* watcher = new QDBusPendingCallWatcher(impl_->bus->asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, key](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const QDBusPendingReply<uint> reply = *w;
        Impl::Slot& s = impl_->shown[key];
        s.inFlight = false;
        if (!reply.isError()) s.id = reply.value();
        if (s.waiting) {
            const DesktopNotice next = *s.waiting;
            s.waiting.reset();
            send(next);
        }
    });
}

#endif

}  // namespace ardenvel::app
