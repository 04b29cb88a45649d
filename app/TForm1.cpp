#include "app/TForm1.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFile>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QStyleFactory>
#include <QTabWidget>
#include <QTimer>
#include <algorithm>
#include <utility>

#include "app/GlyphButton.h"
#include "app/JpegImage.h"
#include "app/StatusPanels.h"
#include "app/UpDown.h"
#include "device/DeviceChange.h"
#include "device/DeviceLock.h"
#include "device/Discovery.h"
#include "device/DriveDetectThread.h"
#include "firmware/FirmwareLoad.h"
#include "hosts/ScanStopNotes.h"
#include "monitor/RaidThread.h"

// Outside any namespace, as Q_INIT_RESOURCE requires. The resources live in
// a static library, so nothing would pull them in otherwise.
static void initResources() {
    Q_INIT_RESOURCE(ardenvel);
}

namespace ardenvel::app {
namespace {

constexpr char kWindowCaption[] = "Ardenvel v0.21";
constexpr int kClientWidth = 623;
constexpr int kClientHeight = 505;
constexpr int kStatusBarHeight = 19;

QColor qcolour(Colour c) {
    const Rgb rgb = rgbOf(c);
    return QColor(rgb.r, rgb.g, rgb.b);
}

// Text colour for the normal states only: a disabled control keeps the
// style's grey, as a greyed label should.
void setTextColour(QWidget* w, const QColor& c) {
    QPalette p = w->palette();
    for (QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive}) {
        p.setColor(g, QPalette::WindowText, c);
        p.setColor(g, QPalette::ButtonText, c);
        p.setColor(g, QPalette::Text, c);
    }
    w->setPalette(p);
}

void setPixelFont(QWidget* w, int pixels) {
    QFont f = w->font();
    f.setPixelSize(pixels);
    w->setFont(f);
}

// Labels and static texts size themselves around their text.
QLabel* makeLabel(QWidget* parent, int x, int y, const QString& text = {}) {
    auto* l = new QLabel(text, parent);
    l->setTextFormat(Qt::PlainText);
    l->move(x, y);
    l->adjustSize();
    return l;
}

void setAutoSizedText(QLabel* l, const QString& text) {
    l->setText(text);
    l->adjustSize();
}

QPushButton* makeButton(QWidget* parent, const QRect& r, const QString& caption) {
    auto* b = new QPushButton(caption, parent);
    b->setGeometry(r);
    b->setAutoDefault(false);
    return b;
}

QCheckBox* makeBox(QWidget* parent, const QRect& r, const QString& caption, bool ticked) {
    auto* b = new QCheckBox(caption, parent);
    b->setGeometry(r);
    b->setChecked(ticked);
    return b;
}

// The glyph of "Load Firmware ": a chip with an arrow going into it.
QIcon loadGlyph() {
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(40, 40, 40), 1));
    p.setBrush(QColor(70, 80, 95));
    p.drawRect(QRectF(3.5, 8.5, 9, 6));
    for (int x = 4; x <= 11; x += 2) {
        p.drawLine(QPointF(x + 0.5, 14.5), QPointF(x + 0.5, 15.5));
    }
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 128, 0));
    p.drawPolygon(QPolygonF({QPointF(8, 8), QPointF(4, 4), QPointF(6.5, 4), QPointF(6.5, 0.5),
                             QPointF(9.5, 0.5), QPointF(9.5, 4), QPointF(12, 4)}));
    return QIcon(pm);
}

}  // namespace

QImage diskPicture() {
    initResources();
    QFile file(QStringLiteral(":/disk.jpg"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return decodeJpeg(file.readAll());
}

void TForm1::Relay::post(std::function<void(TForm1&)> work) {
    std::lock_guard lock(mutex);
    if (target == nullptr) return;
    TForm1* form = target;
    // Queued even on the window's own thread: a notice is a window message,
    // handled after whatever is running now.
    QMetaObject::invokeMethod(
        form, [form, work = std::move(work)] { work(*form); }, Qt::QueuedConnection);
}

TForm1::TForm1(Subsystems s, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      s_(s),
      monitor_{s.monitor, s.dev, *this, s.ui, s.clock, {}},
      eventLog_(
          s.log, [this] { return (s_.monitor.pendingRequests.load() & request::kStarted) != 0; },
          s.ui.dialogs()),
      relay_(std::make_shared<Relay>()) {
    initResources();
    notifier_ = new DesktopNotifier(this);
    buildControls();
    connectHandlers();

    MonitorHooks& hooks = monitor_.hooks;
    hooks.updateEventLog = [this](std::uint8_t devicesRead) {
        const EventLogInputs in{s_.clock,
                                s_.ui,
                                s_.dev.tables,
                                s_.monitor.statusBuffers,
                                s_.monitor.firstRefreshPending,
                                s_.monitor.scanCapable,
                                s_.monitor.devicesFailed};
        UpdateEventLog(s_.log, in, devicesRead);
        notifier_->show(desktopNotices(s_.log.Events, isActiveWindow()));
    };
    hooks.scanRunning = [this](int slot) { return s_.log.ScanRunning[slot & 3]; };
    hooks.markUserAbort = [this](int slot) {
        s_.log.UserAbort[slot & 3] = true;
        if (s_.notesDirectory)
            ScanStopNotes(*s_.notesDirectory)
                .record({driveNumberOf(s_.dev.tables.deviceTable[slot & 3]), s_.monitor.scanPort});
    };
    FirmwareState& fw = s_.firmware;
    hooks.firmwareBusy = [&fw] { return fw.busy.load(); };

    FormCreate();
}

TForm1::~TForm1() {
    shutdown();
}

void TForm1::buildControls() {
    setWindowTitle(QString::fromLatin1(kWindowCaption));
    setFixedSize(kClientWidth, kClientHeight);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    setPalette(pal);
    setAutoFillBackground(true);
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(13);
    setFont(font);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(kClientWidth / 2, kClientHeight / 2));
    }

    // The frames are drawn through the middle of their titles, so that the
    // contents can start right below the title, where their bounds put them.
    // A widget's style does not pass to its children.
    QStyle* frameStyle = QStyleFactory::create(QStringLiteral("Windows"));
    if (frameStyle != nullptr) frameStyle->setParent(this);
    GroupBox3 = new QGroupBox(QStringLiteral("Firmware Upgrade"), this);
    if (frameStyle != nullptr) GroupBox3->setStyle(frameStyle);
    GroupBox3->setGeometry(8, 9, 161, 129);
    StaticText1 = new QLabel(QStringLiteral(" Drive detecting"), GroupBox3);
    StaticText1->setTextFormat(Qt::PlainText);
    StaticText1->setGeometry(8, 24, 145, 20);
    UpDown1 = new UpDown(GroupBox3);
    UpDown1->setGeometry(136, 20, 17, 25);
    BitBtn1 = new GlyphButton(QStringLiteral("Load Firmware "), GroupBox3);
    BitBtn1->setGeometry(24, 56, 105, 25);
    BitBtn1->setAutoDefault(false);
    BitBtn1->setIcon(loadGlyph());
    Button2 = makeButton(GroupBox3, {24, 88, 105, 25}, QStringLiteral("Start Upgrade"));

    Button10 = makeButton(this, {182, 17, 75, 25}, QStringLiteral("Start"));
    Button11 = makeButton(this, {182, 48, 75, 25}, QStringLiteral("Stop"));

    StaticText2 = makeLabel(this, 264, 16);
    StaticText3 = makeLabel(this, 264, 32);
    StaticText4 = makeLabel(this, 264, 48);
    for (QLabel* l : {StaticText2, StaticText3, StaticText4}) setPixelFont(l, 11);
    setTextColour(StaticText3, Qt::blue);
    setAutoSizedText(StaticText3, QStringLiteral("Time Elapsed 0-00:00:00"));

    Memo1 = new QPlainTextEdit(this);
    Memo1->setGeometry(144, 8, 473, 97);

    Panel1 = new QFrame(this);
    Panel1->setGeometry(184, 104, 257, 81);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel1->setAutoFillBackground(true);
    // A panel's caption sits in its middle, under its controls.
    Panel1Caption = new QLabel(Panel1);
    Panel1Caption->setTextFormat(Qt::PlainText);
    Panel1Caption->setAlignment(Qt::AlignCenter);
    Panel1Caption->setGeometry(2, 2, 253, 77);
    Label12 = makeLabel(Panel1, 16, 8);
    setTextColour(Label12, Qt::blue);
    ProgressBar1 = new QProgressBar(Panel1);
    ProgressBar1->setGeometry(24, 48, 217, 17);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);

    CheckBox1 = makeBox(this, {24, 152, 73, 17}, QStringLiteral("Device1"), true);
    CheckBox3 = makeBox(this, {96, 152, 73, 17}, QStringLiteral("Device2"), true);
    CheckBox4 = makeBox(this, {24, 184, 73, 17}, QStringLiteral("Device3"), true);
    CheckBox5 = makeBox(this, {96, 184, 73, 17}, QStringLiteral("Device4"), true);

    PageControl1 = new QTabWidget(this);
    PageControl1->setGeometry(0, 200, 625, 289);
    for (int i = 1; i <= 4; ++i) PageControl1->addTab(new QWidget, QStringLiteral("TabSheet%1").arg(i));

    // Everything below sits over the page area, so it is made after the
    // page control and stacks above it.
    GroupBox4 = new QGroupBox(QStringLiteral("RAID Mode"), this);
    GroupBox4->setGeometry(16, 232, 145, 169);
    if (frameStyle != nullptr) GroupBox4->setStyle(frameStyle);
    Label20 = makeLabel(GroupBox4, 8, 16, QStringLiteral("RAID Setting:"));
    Label21 = makeLabel(GroupBox4, 84, 16);
    Label27 = makeLabel(GroupBox4, 8, 40);
    setTextColour(Label27, qcolour(Colour::Navy));
    Label22 = makeLabel(GroupBox4, 8, 72, QStringLiteral("RAID Mode in SPI"));
    Label15 = makeLabel(GroupBox4, 24, 88);
    Label23 = makeLabel(GroupBox4, 8, 116, QStringLiteral("RAID Mode of System"));
    Label17 = makeLabel(GroupBox4, 24, 132);
    setTextColour(Label17, Qt::blue);

    Panel2 = new QFrame(this);
    Panel2->setGeometry(168, 232, 449, 249);
    Panel2->setFrameStyle(QFrame::NoFrame);
    Panel2->setAutoFillBackground(true);
    setTextColour(Panel2, Qt::red);
    const QPixmap disk = QPixmap::fromImage(diskPicture());
    Image1 = new QLabel(Panel2);
    Image1->setGeometry(8, 48, 127, 109);
    Image1->setPixmap(disk);
    Image2 = new QLabel(Panel2);
    Image2->setGeometry(232, 48, 127, 109);
    Image2->setPixmap(disk);
    Label19 = makeLabel(Panel2, 8, 0);
    Label24 = makeLabel(Panel2, 232, 0);
    for (QLabel* l : {Label19, Label24}) setTextColour(l, Qt::black);
    Label1 = makeLabel(Panel2, 156, 24);
    Label25 = makeLabel(Panel2, 11, 160);
    Label26 = makeLabel(Panel2, 235, 160);
    for (QLabel* l : {Label25, Label26}) setTextColour(l, qcolour(Colour::Navy));
    Label18 = makeLabel(Panel2, 156, 73);
    Label18->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    setTextColour(Label18, qcolour(Colour::Fuchsia));
    StaticText6 = makeLabel(Panel2, 104, 136);
    StaticText7 = makeLabel(Panel2, 328, 136);
    Button1 = makeButton(Panel2, {160, 128, 57, 33}, QStringLiteral("Log"));

    StaticText5 = makeLabel(this, 24, 460);
    setPixelFont(StaticText5, 12);
    setTextColour(StaticText5, Qt::red);
    CheckBox6 = makeBox(this, {32, 408, 97, 17}, QStringLiteral("Buzzer Mute"), false);
    CheckBox7 = makeBox(this, {32, 432, 97, 17}, QStringLiteral("Auto Scan"), false);
    Button3 = makeButton(this, {216, 456, 97, 25}, QStringLiteral("Start P0 Scan"));
    Button4 = makeButton(this, {448, 456, 97, 25}, QStringLiteral("Start P1 Scan"));

    StatusBar1 = new StatusPanels({100, 80, 80, 100, 250}, this);
    StatusBar1->setGeometry(0, kClientHeight - kStatusBarHeight, kClientWidth, kStatusBarHeight);

    auto makeTimer = [this](int interval) {
        auto* t = new QTimer(this);
        t->setInterval(interval);
        return t;
    };
    Timer1 = makeTimer(1000);
    Timer2 = makeTimer(4000);
    Timer3 = makeTimer(1000);
    Timer4 = makeTimer(500);
    Timer5 = makeTimer(1000);
    // Timer5 runs from creation on; the others are started and stopped by
    // the creation handler and the commands.
    Timer5->start();

    s_.ui.attach(StatusBar1);
}

void TForm1::connectHandlers() {
    connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);
    connect(Timer2, &QTimer::timeout, this, &TForm1::Timer2Timer);
    connect(Timer3, &QTimer::timeout, this, &TForm1::Timer3Timer);
    connect(Timer4, &QTimer::timeout, this, &TForm1::Timer4Timer);
    connect(Timer5, &QTimer::timeout, this, &TForm1::Timer5Timer);
    connect(Button10, &QPushButton::clicked, this, &TForm1::Button10Click);
    connect(Button11, &QPushButton::clicked, this, &TForm1::Button11Click);
    connect(BitBtn1, &QPushButton::clicked, this, &TForm1::BitBtn1Click);
    connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
    connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
    connect(Button3, &QPushButton::clicked, this, &TForm1::Button3Click);
    connect(Button4, &QPushButton::clicked, this, &TForm1::Button4Click);
    // clicked, not toggled: a box set by the program must not run its handler.
    connect(CheckBox1, &QCheckBox::clicked, this, &TForm1::CheckBox1Click);
    connect(CheckBox3, &QCheckBox::clicked, this, &TForm1::CheckBox3Click);
    connect(CheckBox4, &QCheckBox::clicked, this, &TForm1::CheckBox4Click);
    connect(CheckBox5, &QCheckBox::clicked, this, &TForm1::CheckBox5Click);
    connect(CheckBox6, &QCheckBox::clicked, this, &TForm1::CheckBox6Click);
    connect(CheckBox7, &QCheckBox::clicked, this, &TForm1::CheckBox7Click);
    connect(PageControl1, &QTabWidget::currentChanged, this, [this] {
        if (!tabsByProgram_) PageControl1Change();
    });
    connect(UpDown1, &UpDown::clicked, this, &TForm1::UpDown1Click);
}

void TForm1::FormCreate() {
    DeviceState& dev = s_.dev;
    MonitorState& mon = s_.monitor;
    EventLogState& log = s_.log;

    // The steps in their order, except that the worker threads are made
    // last: everything they read is set by then, so nothing here has to
    // wait for a probe of the first pass, and the window shows at once.

    // 1. The icon "Z1", for the window and the application.
    const QIcon icon(QStringLiteral(":/Z1"));
    setWindowIcon(icon);
    QApplication::setWindowIcon(icon);
    // 2. Qt paints every widget through a back buffer already.
    // 3. Device changes: the host tells us, on whatever thread it likes.
    relay_->target = this;
    dev.host.setDeviceChangeHandler([relay = relay_] { relay->post([](TForm1& f) { f.onDeviceChange(); }); });
    dev.operationLock.setWaitNotice(
        [relay = relay_](bool waiting) { relay->post([waiting](TForm1& f) { f.showDeviceWait(waiting); }); });
    // 4.
    dev.deviceChangeCountdown = 0;
    dev.selectedDevice = 0;
    dev.tables.deviceCount = 0;
    // 5.
    StaticText1->setText(QString::fromLatin1(kDriveDetecting));
    // 6. The counts a later device change is compared against. Where a close
    // raises a notice (udev's watch), this count's own opens come back as
    // notices: like a recount's, they are no news.
    dev.recountEchoes = dev.host.closesRaiseNotices();
    EnumerateDriveLetters(dev);
    const unsigned physical = CountPhysicalDrives(dev);
    {
        std::lock_guard lock(dev.resultMutex);
        dev.physicalDriveCount = physical;
    }
    // 7.
    dev.discoveryDone = false;
    RequestDiscovery(dev);
    mon.pendingRequests = 0;
    mon.settingsEcho = false;
    // 9.
    mon.startTime = s_.clock.now();
    StaticText1->show();
    // 10.
    Timer3->start();
    Timer4->start();
    // 11.
    const QString started = QString::fromStdString(formatDateTime(s_.clock, s_.clock.toLocal(mon.startTime)));
    setAutoSizedText(StaticText2, QStringLiteral("GUI start Time : ") + started);
    setAutoSizedText(StaticText4, QStringLiteral("Drive removed at: ") + started);
    StaticText4->hide();
    // 12.
    ReleaseFirmware(s_.firmware);
    dev.spiSize = 0x80000;
    // 13.
    Panel1->hide();
    Timer1->stop();
    Timer2->stop();
    // 14. The random reserved LBAs of the command channel.
    dev.random.seed(static_cast<std::uint_fast32_t>(mon.startTime.time_since_epoch().count()));
    // 15.
    for (QPushButton* b : {Button11, BitBtn1, Button10, Button2}) b->setEnabled(false);
    // 16.
    for (QWidget* w : {static_cast<QWidget*>(Button1), static_cast<QWidget*>(Memo1),
                       static_cast<QWidget*>(Button3), static_cast<QWidget*>(Button4)})
        w->hide();
    // 17.
    for (QLabel* l : {Label18, Label19, Label24, Label25, Label26, Label1}) setAutoSizedText(l, {});
    // 18.
    UpDown1->hide();
    tabsByProgram_ = true;
    for (int i = 0; i < 4; ++i) PageControl1->setTabVisible(i, false);
    PageControl1->setCurrentIndex(0);
    tabsByProgram_ = false;
    for (QCheckBox* b : {CheckBox1, CheckBox3, CheckBox4, CheckBox5}) b->hide();
    for (QLabel* l : {Label15, Label21, Label22}) l->hide();
    // 19.
    dev.cdbShift = 1;
    mon.firstRefreshPending = true;
    CheckBox7->hide();
    // 20.
    for (int slot = 0; slot < 4; ++slot) {
        log.ScanRunning[slot] = false;
        log.UserAbort[slot] = false;
        mon.commandCooldown[slot] = 0;
        log.LoggedBadSectorCount[slot] = 0;
    }
    // 21.
    mon.savedCaption = windowTitle().toStdString();
    // 8. The request is already raised, so the first pass starts at once.
    driveDetect_ = std::make_unique<DriveDetectThread>(dev);
    raidThread_ = std::make_unique<TRaidThread>(
        RaidThreadInputs{mon.pendingRequests, dev.discoveryPending, monitor_.hooks.firmwareBusy,
                         [this] { ServeRequest(monitor_); },
                         [this](std::function<void()> work) {
                             QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
                         }});
}

void TForm1::FormClose() {
    if (s_.firmware.image.loaded()) ReleaseFirmware(s_.firmware);
    Timer3->stop();
    s_.monitor.pendingRequests.fetch_and(static_cast<std::uint8_t>(~request::kStarted));
}

void TForm1::closeEvent(QCloseEvent* event) {
    // Whatever still waits for the device (for another process's operation)
    // gives up; an operation that holds it runs to its end.
    s_.dev.closing = true;
    // A load or an upgrade is still working with the image and must finish;
    // the window closes once it has.
    if (s_.firmware.busy.load()) {
        closeAfterFirmware_ = true;
        event->ignore();
        return;
    }
    FormClose();
    // No more work is handed to the window from here on, and a pass stops at
    // its next request, while the message loop unwinds.
    if (raidThread_) raidThread_->stop();
    if (driveDetect_) driveDetect_->requestStop();
    event->accept();
}

bool TForm1::shutdown() {
    if (shutDown_) return workersEnded_;
    shutDown_ = true;
    {
        std::lock_guard lock(relay_->mutex);
        relay_->target = nullptr;
    }
    s_.dev.host.setDeviceChangeHandler({});
    s_.dev.operationLock.setWaitNotice({});
    if (raidThread_) raidThread_->stop();
    // A probe stops at its next request; one the drive takes minutes to
    // answer is left to end with the process.
    workersEnded_ = !driveDetect_ || driveDetect_->stop(kProbeStopGrace);
    Timer1->stop();
    Timer2->stop();
    Timer3->stop();
    Timer4->stop();
    Timer5->stop();
    s_.ui.detach();
    return workersEnded_;
}

void TForm1::showDeviceWait(bool waiting) {
    const QString text = QString::fromLatin1(kTextWaitingForOtherProcess);
    if (waiting) {
        StatusBar1->setPanelText(kPanelMessages, text);
    } else if (StatusBar1->panelText(kPanelMessages) == text) {
        StatusBar1->setPanelText(kPanelMessages, {});
    }
}

void TForm1::onDeviceChange() {
    OnDeviceChange(s_.dev);
}

void TForm1::Timer1Timer() {
    ProgressTimerTick(s_.dev, *this);
}
void TForm1::Timer2Timer() {
    ardenvel::Timer2Timer(monitor_);
}
void TForm1::Timer3Timer() {
    ardenvel::Timer3Timer(monitor_);
}

void TForm1::Timer4Timer() {
    // The recount lets pending events run, and with them this timer again.
    if (inTimer4_) return;
    inTimer4_ = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{inTimer4_};
    if (ardenvel::Timer4Timer(monitor_)) emit discoveryApplied();
}

void TForm1::Timer5Timer() {
    ardenvel::Timer5Timer(monitor_);
}
void TForm1::Button10Click() {
    ardenvel::Button10Click(monitor_);
}
void TForm1::Button11Click() {
    ardenvel::Button11Click(monitor_);
}

void TForm1::BitBtn1Click() {
    if (!BeginFirmwareCommand(monitor_)) return;
    Dialogs& dialogs = s_.ui.dialogs();
    const std::string startDir = s_.programDirectory.string();
    LoadFirmware(s_.firmware, s_.ui, [this, &dialogs, &startDir]() -> std::optional<std::string> {
        auto path = dialogs.chooseOpenFile(kFirmwareFileFilter, startDir);
        if (path) StatusBar1->widenLastPanel();
        return path;
    });
    EndFirmwareCommand(monitor_);
    closeIfAskedDuringFirmware();
}

void TForm1::closeIfAskedDuringFirmware() {
    if (!s_.firmware.busy.load() && std::exchange(closeAfterFirmware_, false)) close();
}

void TForm1::Button2Click() {
    // Not during another firmware command, a request or a pass.
    if (!BeginFirmwareCommand(monitor_)) return;
    // What the window shows is what gets upgraded, and stays so to the end.
    SelectUpDownDevice(monitor_);
    // Record dumps go where the logs go: the program folder may be read-only.
    StartUpgrade(s_.firmware, s_.dev, *this, s_.log.LogDirectory, nullptr,
                 [this](const std::string& line) { AppendLogLine(s_.log, s_.clock, s_.ui, line); });
    EndFirmwareCommand(monitor_);
    closeIfAskedDuringFirmware();
}
void TForm1::Button1Click() {
    eventLog_.open(this);
}
void TForm1::Button3Click() {
    ardenvel::Button3Click(monitor_);
}
void TForm1::Button4Click() {
    ardenvel::Button4Click(monitor_);
}
void TForm1::CheckBox1Click() {
    ardenvel::CheckBox1Click(monitor_);
}
void TForm1::CheckBox3Click() {
    ardenvel::CheckBox3Click(monitor_);
}
void TForm1::CheckBox4Click() {
    ardenvel::CheckBox4Click(monitor_);
}
void TForm1::CheckBox5Click() {
    ardenvel::CheckBox5Click(monitor_);
}
void TForm1::CheckBox6Click() {
    ardenvel::CheckBox6Click(monitor_);
}
void TForm1::CheckBox7Click() {
    ardenvel::CheckBox7Click(monitor_);
}
void TForm1::PageControl1Change() {
    ardenvel::PageControl1Change(monitor_);
}
void TForm1::UpDown1Click() {
    ardenvel::UpDown1Click(monitor_);
}

// ---- MainView

QLabel* TForm1::label(PanelLabel l) const {
    switch (l) {
        case PanelLabel::Label17: return Label17;
        case PanelLabel::Label18: return Label18;
        case PanelLabel::Label19: return Label19;
        case PanelLabel::Label24: return Label24;
        case PanelLabel::Label25: return Label25;
        case PanelLabel::Label26: return Label26;
        case PanelLabel::Label27: return Label27;
        case PanelLabel::StaticText6: return StaticText6;
        case PanelLabel::StaticText7: return StaticText7;
    }
    return Label18;
}

QPushButton* TForm1::button(MainButton b) const {
    switch (b) {
        case MainButton::Button10: return Button10;
        case MainButton::Button11: return Button11;
        case MainButton::BitBtn1: return BitBtn1;
        case MainButton::Button2: return Button2;
        case MainButton::Button1: return Button1;
        case MainButton::Button3: return Button3;
        case MainButton::Button4: return Button4;
    }
    return Button10;
}

QCheckBox* TForm1::box(MainBox b) const {
    switch (b) {
        case MainBox::CheckBox1: return CheckBox1;
        case MainBox::CheckBox3: return CheckBox3;
        case MainBox::CheckBox4: return CheckBox4;
        case MainBox::CheckBox5: return CheckBox5;
        case MainBox::CheckBox6: return CheckBox6;
        case MainBox::CheckBox7: return CheckBox7;
    }
    return CheckBox1;
}

QLabel* TForm1::staticText(MainText t) const {
    switch (t) {
        case MainText::StaticText1: return StaticText1;
        case MainText::StaticText3: return StaticText3;
        case MainText::StaticText4: return StaticText4;
        case MainText::StaticText5: return StaticText5;
    }
    return StaticText1;
}

void TForm1::setLabelText(PanelLabel l, const std::string& text) {
    setAutoSizedText(label(l), QString::fromStdString(text));
    if (l == PanelLabel::StaticText6 || l == PanelLabel::StaticText7) {
        // The marks sit on the disk pictures' corners: an opaque background
        // keeps them readable there, and an empty mark leaves the picture be.
        label(l)->setAutoFillBackground(!text.empty());
    }
    if (l == PanelLabel::StaticText6) {
        // With this platform's fonts "Bad Sector" is wider than the gap to
        // the Log button at 104; it ends just short of the button instead.
        constexpr int kX = 104, kGap = 2;
        const int room = Button1->x() - kGap;
        StaticText6->move(std::min(kX, room - StaticText6->width()), StaticText6->y());
    }
}
void TForm1::setLabelColour(PanelLabel l, Colour colour) {
    setTextColour(label(l), qcolour(colour));
}
void TForm1::setLabelEnabled(PanelLabel l, bool enabled) {
    label(l)->setEnabled(enabled);
}

void TForm1::setButtonEnabled(MainButton b, bool enabled) {
    button(b)->setEnabled(enabled);
}
bool TForm1::buttonEnabled(MainButton b) const {
    return button(b)->isEnabled();
}
void TForm1::setButtonShown(MainButton b, bool shown) {
    button(b)->setVisible(shown);
}
void TForm1::setButtonCaption(MainButton b, const std::string& caption) {
    button(b)->setText(QString::fromStdString(caption));
}

bool TForm1::boxTicked(MainBox b) const {
    return box(b)->isChecked();
}
void TForm1::setBoxTicked(MainBox b, bool ticked) {
    box(b)->setChecked(ticked);
}
void TForm1::setBoxEnabled(MainBox b, bool enabled) {
    box(b)->setEnabled(enabled);
}
void TForm1::setBoxShown(MainBox b, bool shown) {
    box(b)->setVisible(shown);
}
void TForm1::setBoxTooltip(MainBox b, const std::string& tooltip) {
    box(b)->setToolTip(QString::fromStdString(tooltip));
}

void TForm1::setTabShown(int tab, bool shown) {
    tabsByProgram_ = true;
    PageControl1->setTabVisible(tab, shown);
    tabsByProgram_ = false;
}

void TForm1::setTabCaption(int tab, const std::string& caption) {
    PageControl1->setTabText(tab, QString::fromStdString(caption));
}

void TForm1::setActiveTab(int tab) {
    tabsByProgram_ = true;
    PageControl1->setCurrentIndex(tab);
    tabsByProgram_ = false;
}

int TForm1::activeTab() const {
    const int index = PageControl1->currentIndex();
    if (index < 0 || !PageControl1->isTabVisible(index)) return -1;
    return index;
}

void TForm1::setUpDownShown(bool shown) {
    UpDown1->setVisible(shown);
}
void TForm1::setUpDownEnabled(bool enabled) {
    UpDown1->setEnabled(enabled);
}
void TForm1::setUpDownMax(int maximum) {
    UpDown1->setMaximum(maximum);
}
int TForm1::upDownPosition() const {
    return UpDown1->position();
}

void TForm1::setText(MainText t, const std::string& text) {
    QLabel* l = staticText(t);
    if (t == MainText::StaticText1) {
        l->setText(QString::fromStdString(text));  // fixed bounds
    } else {
        setAutoSizedText(l, QString::fromStdString(text));
    }
}
std::string TForm1::text(MainText t) const {
    return staticText(t)->text().toStdString();
}
void TForm1::setTextShown(MainText t, bool shown) {
    staticText(t)->setVisible(shown);
}
bool TForm1::textShown(MainText t) const {
    return !staticText(t)->isHidden();
}

void TForm1::setWindowCaption(const std::string& caption) {
    setWindowTitle(QString::fromStdString(caption));
}

void TForm1::startTimer(MainTimer t) {
    (t == MainTimer::Timer2 ? Timer2 : Timer3)->start();
}
void TForm1::stopTimer(MainTimer t) {
    (t == MainTimer::Timer2 ? Timer2 : Timer3)->stop();
}

// ---- FirmwareProgress

void TForm1::setTitle(const std::string& text) {
    setAutoSizedText(Label12, QString::fromStdString(text));
}
void TForm1::setCaption(const std::string& text) {
    Panel1Caption->setText(QString::fromStdString(text));
}
void TForm1::setPanelVisible(bool shown) {
    Panel1->setVisible(shown);
}
void TForm1::setProgressMaximum(std::uint32_t maximum) {
    ProgressBar1->setMaximum(static_cast<int>(maximum));
}
void TForm1::setProgressPosition(std::uint32_t position) {
    ProgressBar1->setValue(std::min(static_cast<int>(position), ProgressBar1->maximum()));
}
void TForm1::startTimer() {
    Timer1->start();
}
void TForm1::stopTimer() {
    Timer1->stop();
}

}  // namespace ardenvel::app
