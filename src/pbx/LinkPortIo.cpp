// The port routines the loops and the log-in dialogues share: bytes and
// texts written to and read from either transport, with their log copies.
#include "pbx/LinkThread.h"

#include "pbx/LinkThreadInternal.h"

namespace pbx {
using namespace linkthread;

long TWatek::WriteFileTCP(std::string_view text, int stallMs) {
    if (!tcp_ || !tcp_->Exists()) {
        base::WriteLog(2, "TCP: no socket");
        return 0;
    }
    if (!tcp_->Active() || terminated_) {
        base::WriteLog(2, "TCP: socket inactive or thread terminated");
        return 0;
    }
    const long sent = tcp_->Send(text.data(), text.size(), terminated_, stallMs);
    if (sent < 0) {
        base::WriteLog(2, "ERROR: WriteFileTCP: SOCKET_ERROR");
        return -1;
    }
    if (traffic())
        base::WriteLog(1, "PC->CEN <%s>", LogCopy(text).c_str());
    return sent;
}

void TWatek::CzytajTCP(std::size_t wanted) {
    if (!tcp_)
        return;
    for (int poll = 0; poll < 64; ++poll) {
        if (tcp_->Waiting() >= wanted || terminated_ || !tcp_->Active())
            break;
        Pause(t_.tcpReadPoll);
    }
    if (!tcp_->Exists())
        return;
    const std::size_t waiting = tcp_->Waiting();
    if (waiting == 0)
        return;
    if (tcpBuffer_.size() + waiting > TcpReadPassLimit)
        return;
    tcp_->ReadWaiting(tcpBuffer_, TcpReadPassLimit - tcpBuffer_.size());
    if (details())
        base::WriteLog(1, "TCP: odebrane: %s", LogCopy(tcpBuffer_).c_str());
}

long TWatek::readSerial(char* buffer, std::size_t count) {
    return serial_ && serial_->IsOpen() ? serial_->Read(buffer, count, &terminated_) : -1;
}

std::string TWatek::readSerialText(std::size_t count, long* got) {
    std::string text(count, '\0');
    const long n = readSerial(text.data(), count);
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    if (got)
        *got = n;
    return text;
}

int TWatek::Wyslij_znak(char c) {
    if (traffic())
        base::WriteLog(1, "PC->CEN <%s>", LogCopy(std::string_view(&c, 1)).c_str());
    if (!serial_ || serial_->Write(&c, 1, &terminated_) != 1) {
        error_ = 8;
        base::WriteLog(2, "Błąd wysyłania do portu");
        return 1;
    }
    return 0;
}

bool TWatek::Czysc_port() {
    if (details())
        base::WriteLog(1, "czyszczę port");
    if (!serial_ || !serial_->IsOpen() || !serial_->Purge()) {
        error_ = 11;
        base::WriteLog(2, "Błąd czyszczenia portu");
        return false;
    }
    return true;
}

int TWatek::Wyslij_ciag(const std::string& text) {
    if (traffic())
        base::WriteLog(1, "PC->CEN <%s>", LogCopy(text).c_str());
    const long written =
        serial_ && serial_->IsOpen() ? serial_->Write(text.data(), text.size(), &terminated_) : -1;
    if (written != static_cast<long>(text.size())) {
        error_ = 8;
        base::WriteLog(2, "COM: Błąd wysyłania <%s>", LogCopy(text).c_str());
        return 1;
    }
    return 0;
}

int TWatek::Wyslij_ciagTCP(const std::string& text) {
    if (WriteFileTCP(text) != static_cast<long>(text.size())) {
        error_ = 8;
        base::WriteLog(2, "TCP:Błąd wysyłania <%s>", LogCopy(text).c_str());
        return 1;
    }
    return 0;
}

} // namespace pbx
