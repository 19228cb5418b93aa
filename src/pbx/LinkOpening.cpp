// Opening the link: the serial port or the TCP connection to the exchange,
// and what is said when it cannot be had.
#include "pbx/LinkThread.h"

#include "pbx/LinkThreadInternal.h"

#include <cerrno>
#include <cstdio>
#include <system_error>

namespace pbx {
using namespace linkthread;
namespace {

const char* socketErrorText(int code) {
    switch (code) {
    case 10048:
        return "Watek: 10048 Adres jest już użyty";
    case 10053:
        return "Watek: 10053 Przerwanie połączenia: TIMEOUT lub błąd protokołu";
    case 10054:
        return "Watek: 10054 Przerwanie połączenia przez klienta";
    case 10055:
        return "Watek: 10055 Bufory systemowe zapełnione przy połączeniu";
    case 10060:
        return "Watek: 10060 Timeout";
    case 10061:
        return "Watek: 10061 Brak dostępu";
    case 10065:
        return "Watek: 10065 Brak trasy do komputera";
    default:
        return nullptr;
    }
}

} // namespace

void TWatek::OtworzCOM(int port) {
    // These two types are reached over TCP only.
    if (settings_.PbxType == 0 || settings_.PbxType == 1)
        return;
    setState('O');
    PokazStan();
    const std::string name = "COM" + std::to_string(port);
    if (details())
        base::WriteLog(1, "Otwórz %s", name.c_str());
    if (!serial_)
        serial_ = std::make_unique<platform::SerialPort>();
    if (!serial_->IsOpen() && !serial_->Open(settings_.serialDevice)) {
        error_ = 2;
        reportOpenFailure(name);
        Terminate();
        return;
    }
    if (shared_.LinkOpened())
        base::WriteLog(1, "Port %s (%s) otwarty", name.c_str(), settings_.serialDevice.c_str());
    serial_->Purge();
    if (!UstawTimeoutCOM(t_.serialLoginReadTimeout))
        return;
    const int baud = settings_.PbxType == 5 ? 115200 : 19200;
    switch (serial_->Configure(baud)) {
    case platform::SerialPort::ConfigureResult::SettingsUnreadable:
        error_ = 5;
        base::WriteLog(2, "Błąd pobierania dcb");
        return;
    case platform::SerialPort::ConfigureResult::SettingsRefused:
        error_ = 6;
        base::WriteLog(2, "Błąd ustawiania dcb");
        return;
    case platform::SerialPort::ConfigureResult::Done:
        break;
    }
    // Pseudo-terminals have no modem lines; only real ports take these.
    serial_->SetDtr(true);
    if (details())
        base::WriteLog(1, "RS: port otwarty");
    serial_->SetRts(false);
}

// The link tries a port that cannot be opened again every second: what is
// wrong, and for a refusal what to do about it, is said once per reason, on
// stderr as well, since the log is off unless asked for.
void TWatek::reportOpenFailure(const std::string& name) {
    const int error = serial_->lastError();
    const std::string& device = settings_.serialDevice;
    const std::string reason = std::generic_category().message(error);
    if (!shared_.LinkOpenFailed(device + ": " + reason)) {
        if (details())
            base::WriteLog(1, "Błąd otwarcia portu %s: %u", name.c_str(), static_cast<unsigned>(error));
        return;
    }
    base::WriteLog(2, "Błąd otwarcia portu %s: %u", name.c_str(), static_cast<unsigned>(error));
    const std::string variable = "HALVEX_COM" + std::to_string(settings_.PbxPort);
    if (error == EACCES || error == EPERM) {
        base::WriteLog(2,
                       "Port %s (%s): brak uprawnień - użytkownik programu musi należeć do grupy dialout "
                       "albo %s (HALVEX_COM1..HALVEX_COM4) musi wskazywać urządzenie, które wolno mu "
                       "otworzyć; dalsze próby bez wpisów w logu",
                       name.c_str(), device.c_str(), variable.c_str());
        std::fprintf(stderr,
                     "Halvex: cannot open %s (%s): %s; the user running Halvex must be in the group "
                     "dialout, or %s (HALVEX_COM1..HALVEX_COM4) must name a device it may open\n",
                     name.c_str(), device.c_str(), reason.c_str(), variable.c_str());
    } else {
        base::WriteLog(2, "Port %s (%s): %s; dalsze próby bez wpisów w logu", name.c_str(), device.c_str(),
                       reason.c_str());
        std::fprintf(stderr, "Halvex: cannot open %s (%s): %s\n", name.c_str(), device.c_str(),
                     reason.c_str());
    }
}

// The exchange that refuses the link, or does not answer, is tried again
// and again: stderr hears of it once per reason, as of a port that will not
// open.
void TWatek::reportConnectFailure(const std::string& reason) {
    const std::string address = settings_.TCPCentr + ":" + std::to_string(settings_.PortTCPCent);
    if (shared_.LinkOpenFailed(address + ": " + reason))
        std::fprintf(stderr, "Halvex: cannot connect to the exchange at %s: %s\n", address.c_str(),
                     reason.c_str());
}

bool TWatek::UstawTimeoutCOM(int ms) {
    if (!serial_ || !serial_->IsOpen()) {
        error_ = 4;
        base::WriteLog(2, "Błąd ustawiania timeoutu");
        Terminate();
        return false;
    }
    serial_->SetReadTimeout(ms);
    return true;
}

void TWatek::reportSocketError(int errnoValue) {
    const int code = SocketErrorCode(errnoValue);
    error_ = code;
    if (const char* text = socketErrorText(code))
        base::WriteLog(2, "%s", text);
    else
        base::WriteLog(2, "Watek: bląd socketu: %d", code);
    Terminate();
}

void TWatek::OtworzTCP() {
    setState('O');
    PokazStan();
    if (details())
        base::WriteLog(1, "TCP:Otwieram port Ethernet");
    if (settings_.TCPCentr.empty() || settings_.PortTCPCent <= 0 || settings_.PortTCPCent > 65535) {
        host_->ShowTcpSetupError();
        error_ = 2;
        // Retrying cannot help until the settings change.
        settingsUnusable_ = true;
        Terminate();
        return;
    }
    if (!tcp_)
        tcp_ = std::make_unique<TcpLink>();
    if (tcp_->Active()) {
        if (Sprawdz_polaczenieTCP() == CheckResult::Failed) {
            base::WriteLog(1, "TCP: Błąd przy sprawdzaniu połączenia, kończenie wątku");
            Terminate();
        }
        return;
    }
    switch (tcp_->Connect(settings_.TCPCentr, settings_.PortTCPCent, t_.tcpConnectStep, 600, terminated_)) {
    case TcpLink::ConnectResult::OpenFailed:
        // Not a socket error: the thread stays and tries again after the pause.
        base::WriteLog(1, "TCP:Brak połączenia z centrala, nieudane otw. portu TCP");
        for (int step = 0; step < 101 && Pause(t_.tcpOpenFailPause); ++step) {
        }
        error_ = 2;
        return;
    case TcpLink::ConnectResult::Failed:
        reportConnectFailure(std::generic_category().message(tcp_->error()));
        reportSocketError(tcp_->error());
        return;
    case TcpLink::ConnectResult::TimedOut:
        reportConnectFailure("no answer");
        base::WriteLog(1, "TCP: Timeout przy próbie uaktywnienia gniazdka TCP");
        Terminate();
        error_ = 2;
        return;
    case TcpLink::ConnectResult::Aborted:
        error_ = 2;
        return;
    case TcpLink::ConnectResult::Connected:
        shared_.LinkOpened();
        break;
    }
    if (details())
        base::WriteLog(1, "TCP:Połączono serwer z centrala ");
    base::WriteLog(1, "TCP: Port otwarty");
    tcpBuffer_.clear();
    if (Sprawdz_polaczenieTCP() == CheckResult::Failed) {
        base::WriteLog(1, "TCP: Błąd przy sprawdzaniu połączenia, kończenie wątku");
        Terminate();
    }
}

} // namespace pbx
