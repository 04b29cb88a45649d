// The window's desktop notifications, sent to a notification server of the
// test's own on a private session bus.

#include <gtest/gtest.h>
#include <signal.h>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVirtualObject>
#include <QTimer>
#include <cstdio>

#include "tests/app/support/AppTest.h"

namespace ardenvel::test {
namespace {

using Kind = virt::TimelineEvent::Kind;

// dbus-daemon --session of the test's own.
struct PrivateBus {
    PrivateBus() {
        std::FILE* p = ::popen("dbus-daemon --session --fork --print-address=1 --print-pid=1", "r");
        char line[512] = {};
        if (p && std::fgets(line, sizeof line, p)) address = QString::fromLatin1(line).trimmed();
        if (p && std::fgets(line, sizeof line, p)) pid = std::atoi(line);
        if (p) ::pclose(p);
    }
    ~PrivateBus() {
        if (pid > 0) ::kill(pid, SIGTERM);
    }
    QString address;
    int pid = 0;
};

// Records each Notify call and answers it as a server does: a new id, or
// the id it replaces.
class NotificationServer : public QDBusVirtualObject {
public:
    struct Call {
        QString summary, body;
        uint replaces = 0;
        int urgency = -1;
        int timeout = 0;
    };

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& m, const QDBusConnection& c) override {
        if (m.member() != QLatin1String("Notify")) return false;
        const QList<QVariant> a = m.arguments();
        const QVariantMap hints = qdbus_cast<QVariantMap>(a[6]);
        calls.push_back({a[3].toString(), a[4].toString(), a[1].toUInt(),
                         int(hints.value("urgency").value<uchar>()), a[7].toInt()});
        const uint id = calls.back().replaces != 0 ? calls.back().replaces : nextId++;
        c.send(m.createReply(QVariant::fromValue(id)));
        return true;
    }
    void closeByUser(QDBusConnection& c, uint id) {
        QDBusMessage s = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/Notifications"),
                                                    QStringLiteral("org.freedesktop.Notifications"),
                                                    QStringLiteral("NotificationClosed"));
        s << id << uint(2);
        c.send(s);
    }

    std::vector<Call> calls;
    uint nextId = 1;
};

TEST(DesktopNotifications, AnInactiveWindowRaisesOneUpToDateNotificationPerEnclosureAndKind) {
    PrivateBus bus;
    ASSERT_FALSE(bus.address.isEmpty()) << "dbus-daemon did not start";
    WindowHarness h;
    QDBusConnection serverBus = QDBusConnection::connectToBus(bus.address, QStringLiteral("test-server"));
    NotificationServer server;
    ASSERT_TRUE(serverBus.registerVirtualObject(QStringLiteral("/org/freedesktop/Notifications"), &server));
    ASSERT_TRUE(serverBus.registerService(QStringLiteral("org.freedesktop.Notifications")));

    virt::EnclosureConfig config;
    virt::VirtualEnclosure& bridge = h.host.addEnclosure(1, config);
    app::TForm1& f = h.create();
    ASSERT_TRUE(h.waitForCaption(QStringLiteral("1/1 Device1[]")));
    ASSERT_TRUE(waitUntil([&] { return !h.monitor.firstRefreshPending; }));
    f.Timer4->stop();
    f.notifier().useBus(bus.address);
    ASSERT_FALSE(f.isActiveWindow());

    const unsigned reads = bridge.counters().statusReads;
    auto at = [&](unsigned k, Kind kind, int port) {
        auto e = virt::TimelineEvent::at(reads + k, kind, port);
        e.lba = 1000 + k;
        bridge.addTimeline(e);
    };
    at(0, Kind::FailDisk, 0);
    at(1, Kind::BadSector, 1);
    at(2, Kind::BadSector, 1);
    at(3, Kind::BadSector, 1);
    at(4, Kind::RemoveDisk, 1);
    at(5, Kind::Unplug, 0);
    auto poll = [&](std::size_t callsAfter) {
        f.Timer2Timer();
        ASSERT_TRUE(waitUntil([&] { return server.calls.size() == callsAfter; })) << server.calls.size();
    };
    poll(1);
    poll(2);
    poll(3);
    // Dismissed by the user: the next one is a notification of its own.
    ASSERT_TRUE(f.notifier().showing(0, EventKind::BadSectors));
    server.closeByUser(serverBus, 2);
    ASSERT_TRUE(waitUntil([&] { return !f.notifier().showing(0, EventKind::BadSectors); }));
    poll(4);
    poll(5);
    poll(6);

    using Call = NotificationServer::Call;
    const std::vector<std::tuple<QString, uint, int, int>> expected = {
        {"Device1 P0: disk failed, capacity too small", 0, 2, 0},
        {"Device1 P1: 1 bad sector found", 0, 2, 0},
        {"Device1 P1: 1 bad sector found", 2, 2, 0},
        {"Device1 P1: 1 bad sector found", 0, 2, 0},
        {"Device1 P1: disk removed", 0, 1, -1},
        {"Device1 lost: its status cannot be read", 0, 1, -1},
    };
    std::vector<std::tuple<QString, uint, int, int>> got;
    for (const Call& c : server.calls) got.emplace_back(c.summary, c.replaces, c.urgency, c.timeout);
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(server.calls[0].body.startsWith(QStringLiteral(
        "D1 P0 was failed, Capacity too small.07.12.2026 09:00:00\nSerial no.: \"WD-WCAV00000000")))
        << server.calls[0].body.toStdString();
    EXPECT_EQ(server.calls[2].body,
              QStringLiteral("D1 P1 Bad Sector was found. 07.12.2026 09:00:00\nLBA: 1002"));
    serverBus.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
}

TEST(DesktopNotifications, TheActiveWindowRaisesNone) {
    LogEvent failed;
    failed.kind = EventKind::DiskFailed;
    EXPECT_EQ(desktopNotices({failed}, false).size(), 1u);
    EXPECT_TRUE(desktopNotices({failed}, true).empty());
}

}  // namespace
}  // namespace ardenvel::test
