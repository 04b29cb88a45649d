#pragma once
// The main window. It builds the controls, wires them to the handlers and
// shows what the cores decide: discovery (device/), polling, the status
// panel and the commands (monitor/), the event log (eventlog/) and the
// firmware commands (firmware/). It keeps no state of its own beyond what a
// window needs to be drawn.

#include <QWidget>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "app/DesktopNotifier.h"
#include "app/QtUi.h"
#include "app/TForm5.h"
#include "device/DeviceState.h"
#include "eventlog/EventLog.h"
#include "firmware/FirmwareState.h"
#include "firmware/Upgrade.h"
#include "monitor/MainView.h"
#include "monitor/Monitor.h"
#include "monitor/MonitorState.h"
#include "platform/Clock.h"

class QCheckBox;
class QFrame;
class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QTimer;

namespace ardenvel {
class DriveDetectThread;
class TRaidThread;
}  // namespace ardenvel

namespace ardenvel::app {

class StatusPanels;
class UpDown;

inline constexpr char kFirmwareFileFilter[] = "Binary code (*.bin)|*.bin|All files (*.*)|*.*";
// How long closing waits for a probe to reach the end of its request.
inline constexpr std::chrono::milliseconds kProbeStopGrace{500};

// The subsystems' state objects, made once by the program (or by a test)
// and outliving the window.
struct Subsystems {
    DeviceState& dev;
    MonitorState& monitor;
    EventLogState& log;
    FirmwareState& firmware;
    Clock& clock;
    QtUi& ui;
    // Where the firmware dialog starts. Record dumps go to log.LogDirectory.
    std::filesystem::path programDirectory;
    // Beside the device lock: where a stopped scan is noted for the
    // monitors of other processes; none, not noted.
    std::optional<std::filesystem::path> notesDirectory{};
};

class TForm1 : public QWidget, public MainView, public FirmwareProgress {
    Q_OBJECT

public:
    // Builds the window and runs FormCreate: the worker threads run from here.
    explicit TForm1(Subsystems s, QWidget* parent = nullptr);
    ~TForm1() override;

    // Handlers, named as the designer names them.
    void FormCreate();
    void FormClose();
    void Timer1Timer();
    void Timer2Timer();
    void Timer3Timer();
    void Timer4Timer();
    void Timer5Timer();
    void Button10Click();
    void Button11Click();
    void BitBtn1Click();
    void Button2Click();
    void Button1Click();
    void Button3Click();
    void Button4Click();
    void CheckBox1Click();
    void CheckBox3Click();
    void CheckBox4Click();
    void CheckBox5Click();
    void CheckBox6Click();
    void CheckBox7Click();
    void PageControl1Change();
    void UpDown1Click();

    // Stops both worker threads and cuts the window off from the host's
    // notices. Runs before the window is destroyed; safe twice. False when
    // a probe is still inside a slow request: it reads only, so the program
    // may end without waiting for it, and must, to end within a second.
    bool shutdown();

    Monitor& monitor() { return monitor_; }
    EventLogLauncher& eventLog() { return eventLog_; }
    DesktopNotifier& notifier() { return *notifier_; }

    // MainView
    void setLabelText(PanelLabel label, const std::string& text) override;
    void setLabelColour(PanelLabel label, Colour colour) override;
    void setLabelEnabled(PanelLabel label, bool enabled) override;
    void setButtonEnabled(MainButton button, bool enabled) override;
    bool buttonEnabled(MainButton button) const override;
    void setButtonShown(MainButton button, bool shown) override;
    void setButtonCaption(MainButton button, const std::string& caption) override;
    bool boxTicked(MainBox box) const override;
    void setBoxTicked(MainBox box, bool ticked) override;
    void setBoxEnabled(MainBox box, bool enabled) override;
    void setBoxShown(MainBox box, bool shown) override;
    void setBoxTooltip(MainBox box, const std::string& tooltip) override;
    void setTabShown(int tab, bool shown) override;
    void setTabCaption(int tab, const std::string& caption) override;
    int activeTab() const override;
    void setActiveTab(int tab) override;
    void setUpDownShown(bool shown) override;
    void setUpDownEnabled(bool enabled) override;
    void setUpDownMax(int maximum) override;
    int upDownPosition() const override;
    void setText(MainText control, const std::string& text) override;
    std::string text(MainText control) const override;
    void setTextShown(MainText control, bool shown) override;
    bool textShown(MainText control) const override;
    void setWindowCaption(const std::string& caption) override;
    void startTimer(MainTimer timer) override;
    void stopTimer(MainTimer timer) override;

    // FirmwareProgress
    void setTitle(const std::string& text) override;
    void setCaption(const std::string& text) override;
    void setPanelVisible(bool shown) override;
    void setProgressMaximum(std::uint32_t maximum) override;
    void setProgressPosition(std::uint32_t position) override;
    void startTimer() override;
    void stopTimer() override;

    // The controls.
    QGroupBox* GroupBox3 = nullptr;
    QLabel* StaticText1 = nullptr;
    UpDown* UpDown1 = nullptr;
    QPushButton* BitBtn1 = nullptr;
    QPushButton* Button2 = nullptr;
    QPushButton* Button10 = nullptr;
    QPushButton* Button11 = nullptr;
    QLabel* StaticText2 = nullptr;
    QLabel* StaticText3 = nullptr;
    QLabel* StaticText4 = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
    QFrame* Panel1 = nullptr;
    QLabel* Panel1Caption = nullptr;
    QLabel* Label12 = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QCheckBox* CheckBox1 = nullptr;
    QCheckBox* CheckBox3 = nullptr;
    QCheckBox* CheckBox4 = nullptr;
    QCheckBox* CheckBox5 = nullptr;
    QTabWidget* PageControl1 = nullptr;
    QGroupBox* GroupBox4 = nullptr;
    QLabel* Label20 = nullptr;
    QLabel* Label21 = nullptr;
    QLabel* Label22 = nullptr;  // "RAID Mode in SPI"
    QLabel* Label15 = nullptr;
    QLabel* Label27 = nullptr;
    QLabel* Label23 = nullptr;
    QLabel* Label17 = nullptr;
    QFrame* Panel2 = nullptr;
    QLabel* Image1 = nullptr;
    QLabel* Image2 = nullptr;
    QLabel* Label19 = nullptr;
    QLabel* Label24 = nullptr;
    QLabel* Label18 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label25 = nullptr;
    QLabel* Label26 = nullptr;
    QLabel* StaticText6 = nullptr;
    QLabel* StaticText7 = nullptr;
    QPushButton* Button1 = nullptr;
    QLabel* StaticText5 = nullptr;
    QCheckBox* CheckBox6 = nullptr;
    QCheckBox* CheckBox7 = nullptr;
    QPushButton* Button3 = nullptr;
    QPushButton* Button4 = nullptr;
    StatusPanels* StatusBar1 = nullptr;
    QTimer* Timer1 = nullptr;
    QTimer* Timer2 = nullptr;
    QTimer* Timer3 = nullptr;
    QTimer* Timer4 = nullptr;
    QTimer* Timer5 = nullptr;

signals:
    // A discovery result has been applied to the controls.
    void discoveryApplied();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // Notices from other threads (device changes, waits for the device)
    // reach the window's thread through this for as long as the window is
    // there to take them.
    struct Relay {
        std::mutex mutex;
        TForm1* target = nullptr;
        void post(std::function<void(TForm1&)> work);
    };

    void buildControls();
    void connectHandlers();
    void onDeviceChange();
    // Panel 4 says that a device operation waits for another process.
    void showDeviceWait(bool waiting);
    QLabel* label(PanelLabel l) const;
    QPushButton* button(MainButton b) const;
    QCheckBox* box(MainBox b) const;
    QLabel* staticText(MainText t) const;

    Subsystems s_;
    Monitor monitor_;
    EventLogLauncher eventLog_;
    DesktopNotifier* notifier_ = nullptr;
    std::shared_ptr<Relay> relay_;
    std::unique_ptr<DriveDetectThread> driveDetect_;
    std::unique_ptr<TRaidThread> raidThread_;
    bool inTimer4_ = false;
    // Set while the program moves the tabs, so only the user's picks run
    // PageControl1Change.
    bool tabsByProgram_ = false;
    bool shutDown_ = false;
    bool workersEnded_ = true;
    // A close asked for while a firmware command ran, carried out after it.
    bool closeAfterFirmware_ = false;
    void closeIfAskedDuringFirmware();
};

// The disk picture, decoded from the resources; null if it would not decode.
QImage diskPicture();

}  // namespace ardenvel::app
