// Switching the exchange link on and off from the main window, and what the
// link thread shows there. The thread reaches the window only through posted
// calls, so no widget is touched off the GUI thread.
#include "shell/MainForm.h"

#include "pbx/LinkMailbox.h"
#include "base/TraceLabel.h"
#include "ui/Dialogs.h"

#include <QCoreApplication>
#include <QTimer>
#include <thread>

namespace {

constexpr int LinkJoinBoundMs = 5000;

void pumpEventsFor(int ms) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, ms);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Posts what the link thread reports to the main window.
class FormLinkHost : public pbx::LinkThreadHost {
  public:
    FormLinkHost(TForm1* form, std::uint64_t generation) : mailbox_(form), generation_(generation) {}

    void ShowState(const pbx::LinkStatus& status) override {
        mailbox_.Post([status](TForm1* form) { form->ShowLinkState(status); });
    }
    void EnableLinkMenu() override {
        mailbox_.Post([](TForm1* form) { form->PodlaczCentrale->setEnabled(true); });
    }
    void ShowTcpSetupError() override {
        // A modal box runs an event loop that may free this host: not inside the delivery.
        mailbox_.Post([](TForm1* form) {
            QTimer::singleShot(0, form, [form] {
                ui::dialogs().MessageBox(form->Text("IDS_36"), form->Text("IDS_21"),
                                         ui::MB_ICONWARNING | ui::MB_OK, ui::IDOK);
            });
        });
    }
    void ThreadEnded() override {
        const std::uint64_t generation = generation_;
        // Run outside the mailbox's delivery: the handler frees this host.
        mailbox_.Post([generation](TForm1* form) {
            QTimer::singleShot(0, form, [form, generation] { form->WatekTerminated(generation); });
        });
    }

  private:
    pbx::LinkMailbox mailbox_;
    std::uint64_t generation_;
};

} // namespace

std::string TForm1::linkPortText() const {
    return PbxPort == 5 ? std::string("TCP") : "COM" + std::to_string(PbxPort);
}

void TForm1::Podlacz_centraleClick() {
    ClearCallTable();
    if (PodlaczCentrale->isChecked()) {
        PodlaczCentrale->setChecked(false);
        RozlaczCentrale();
        PbxLinkErrorCount = 999;
        return;
    }
    PodlaczCentrale->setChecked(true);
    ConnectPbx();
}

void TForm1::ConnectPbx() {
    base::TraceScope trace("ConnectPbx");
    if (PbxConnecting)
        return;
    PbxConnecting = true;
    RozlaczCentrale();
    // Two threads never share a port: the old one is joined first.
    const bool oldEnded = WaitForLinkEnd(LinkJoinBoundMs);
    PbxConnecting = false;
    if (!oldEnded) {
        WriteLog(2, "Wątek komunikacyjny nie zakończył się - ponowne podłączenie odłożone");
        pbx::PbxReconnectWanted = 1;
        return;
    }
    WriteLog(1, "Podłączanie centrali");
    StatusBar->Panels()[3]->SetText(QString::number(PbxReconnectCount) + QStringLiteral("/0"));
    StatusBar->Panels()[2]->SetText(QString());
    ReceivedBytes = 0;
    HandledBytes = 0;

    pbx::LinkSettings settings;
    settings.PbxPort = PbxPort;
    settings.PbxType = PbxType;
    settings.TCPCentr = TCPCentr;
    settings.PortTCPCent = PortTCPCent;
    settings.serialDevice = pbx::SerialDevicePath(PbxPort);
    settings.timings = pbx::linkEnvironment().timings;
    settings.clock = pbx::linkEnvironment().clock;

    auto run = std::make_unique<PbxLinkRun>();
    run->generation = ++PbxLinkGeneration;
    run->pbxPort = PbxPort;
    run->host = std::make_unique<FormLinkHost>(this, run->generation);
    run->thread = std::make_unique<pbx::TWatek>(std::move(settings), run->host.get());
    pbx::CommandInFlight = 0;
    LoginWatchActive = false;
    Watek = std::move(run);
    Watek->thread->Start();
}

void TForm1::RozlaczCentrale() {
    base::TraceScope trace("RozlaczCentrale");
    if (base::Switches().chbLogRS)
        WriteLog(1, "RozlaczCentrale");
    if (!Watek)
        return;
    Watek->thread->Terminate();
    const std::uint64_t generation = Watek->generation;
    for (int step = 0; step < 100; ++step) {
        if (!Watek || Watek->generation != generation || Watek->thread->Finished())
            break;
        pumpEventsFor(10);
    }
}

bool TForm1::WaitForLinkEnd(int boundMs) {
    if (!Watek)
        return true;
    const std::uint64_t generation = Watek->generation;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (Watek && Watek->generation == generation && !Watek->thread->Finished()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        pumpEventsFor(10);
    }
    // Reap it now rather than when its posted end arrives.
    if (Watek && Watek->generation == generation)
        WatekTerminated(generation);
    return true;
}

void TForm1::WatekTerminated(std::uint64_t generation) {
    if (!Watek || Watek->generation != generation || !Watek->thread->Finished())
        return;
    if (base::Switches().chbLogRS)
        WriteLog(2, "Wątek komunikacyjny: OnTerminate");
    if (Watek->pbxPort == 5)
        WriteLog(1, "OnTerminate: Zamykanie portu TCP");
    else if (base::Switches().chbLogRS)
        WriteLog(1, "OnTerminate: Zamykanie portu COM");
    const bool settingsUnusable = Watek->thread->SettingsUnusable();
    Watek.reset();
    StatusBar->Panels()[2]->SetText(QString());
    StatusBar->Panels()[6]->SetText(QString::fromStdString(linkPortText() + Text("IDS_449")));
    if (AutomPrzyw && PodlaczCentrale->isChecked() && !PbxConnecting && !settingsUnusable)
        ConnectPbx();
    else if (!PbxConnecting)
        PodlaczCentrale->setChecked(false);
}

void TForm1::ShowLinkState(const pbx::LinkStatus& status) {
    char text[160];
    std::snprintf(text, sizeof text, "%s: %c %u:%u/%u:%u", pbx::PbxName(status.pbxType), status.stateLetter,
                  status.received, status.handled, status.queued, status.sent);
    StatusBar->Panels()[2]->SetText(QString::fromUtf8(text));
    std::string state;
    if (status.linkState != 1) {
        state = Text("IDS_449");
        if (PbxLinkErrorCount < 1000)
            ++PbxLinkErrorCount;
    } else {
        state = Text("IDS_201");
        if (status.received > 0)
            PbxLinkErrorCount = 0;
    }
    const std::string port =
        status.pbxPort == 5 ? std::string("TCP") : "COM" + std::to_string(status.pbxPort);
    StatusBar->Panels()[6]->SetText(QString::fromStdString(port + state));
}

void TForm1::ClearCallTable() {
    for (auto& call : ActiveCalls)
        call = ActiveCall();
    ActiveCallCount = 0;
}

// The CRM console socket comes with its own piece of work.
void TForm1::CrmSocketSetActive(bool) {}
