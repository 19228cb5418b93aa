// The log-in dialogues of the two exchange families, over either transport.
// Types 0 to 4 take three mode commands; type 5 offers a console shell that
// the link logs into and then switches into CTI mode.
#include "pbx/LinkThread.h"

#include "base/DiagnosticLog.h"

namespace pbx {
namespace {

const char* const MorvaPassword = "Quabrils\r";
const char* const VantrelSteps[] = {"CRC OFF\r", "ECHO OFF\r", "CTI ON\r"};

bool details() {
    return base::Switches().chbLogRS.load();
}
bool traffic() {
    return base::Switches().chbInfoPCTI.load();
}

void detail(const char* text) {
    if (details())
        base::WriteLog(1, "%s", text);
}

bool isShellPrompt(const std::string& text) {
    return text == "morva $" || text == "morva #" || text == "CENTRAL";
}

// Where the answer of a types 0 to 4 step ends: at its line end.
std::size_t lineAnswerEnd(const std::string& bytes) {
    const std::size_t end = bytes.find_first_of("\r\n");
    if (end == std::string::npos)
        return bytes.size();
    const bool crLf = bytes[end] == '\r' && end + 1 < bytes.size() && bytes[end + 1] == '\n';
    return end + (crLf ? 2 : 1);
}

constexpr std::size_t MorvaCtiAnswerSize = 11;

} // namespace

int TWatek::Wyslij_ciag_z_echem(const std::string& text) {
    if (Wyslij_ciag(text) != 0) {
        base::WriteLog(2, "Błąd wysyłania <%s> do portu", LogCopy(text).c_str());
        return 1;
    }
    long got = 0;
    const std::string echo = readSerialText(text.size() + 1, &got);
    if (got < 0 || echo.empty()) {
        base::WriteLog(2, "Błąd odczytu echa <%s>", LogCopy(text).c_str());
        return 2;
    }
    if (echo.compare(0, text.size(), text) != 0) {
        base::WriteLog(2, "Złe echo <%s> odczytane=<%s>", LogCopy(text).c_str(), LogCopy(echo).c_str());
        return 3;
    }
    return 0;
}

int TWatek::Wyslij_ciag_z_echemTCP(const std::string& text) {
    tcpBuffer_.clear();
    if (Wyslij_ciagTCP(text) != 0)
        return 1;
    CzytajTCP(text.size());
    if (tcpBuffer_.compare(0, text.size(), text) != 0) {
        base::WriteLog(2, "Złe echo <%s> odczytane=<%s>", LogCopy(text).c_str(), LogCopy(tcpBuffer_).c_str());
        return 3;
    }
    return 0;
}

void TWatek::AT_Vantrel() {
    const bool uart = traffic() && base::Switches().CheckBoxInfoUART.load();
    for (const char* text : {"\r", "AT\r"}) {
        if (uart)
            base::WriteLog(1, "PC->CEN <%s>", LogCopy(text).c_str());
        const std::string bytes(text);
        if (serial_ && serial_->IsOpen())
            serial_->Write(bytes.data(), bytes.size(), &terminated_);
        Pause(t_.wakeUpPause);
        if (serial_ && serial_->IsOpen())
            serial_->Purge();
    }
}

bool TWatek::AT_Vantrel2() {
    if (Wyslij_ciag("\r") != 0)
        return false;
    Pause(t_.linkCheckCrPause);
    if (Wyslij_ciag("AT\r") != 0)
        return false;
    Pause(t_.linkCheckAtPause);
    char byte = 0;
    const long got = readSerial(&byte, 1);
    if (got < 0) {
        base::WriteLog(2, "RS: Błąd odczytu odpowiedzi na AT");
        return false;
    }
    if (got == 1)
        serialByte(byte);
    return true;
}

int TWatek::Loguj_Vantrel() {
    detail("Podlaczanie Vantrel");
    AT_Vantrel();
    int result = 0;
    for (const char* step : VantrelSteps) {
        result = Wyslij_ciag(step);
        if (result != 0 && step == VantrelSteps[0])
            return 1;
        char answer[3];
        if (readSerial(answer, sizeof answer) < 0) {
            base::WriteLog(2, "COM: Błąd odczytu odpowiedzi na <%s>", LogCopy(step).c_str());
            return result;
        }
    }
    return result;
}

int TWatek::Loguj_vantrelTCP() {
    tcpBuffer_.clear();
    Pause(t_.vantrelTcpStepPause);
    for (const char* step : VantrelSteps) {
        if (Wyslij_ciagTCP(step) != 0) {
            base::WriteLog(2, "TCP: logowanie przerwane na <%s>", LogCopy(step).c_str());
            return 1;
        }
        CzytajTCP(3);
        if (traffic())
            base::WriteLog(1, "CEN->PC <%s>", LogCopy(tcpBuffer_).c_str());
        if (tcpBuffer_.size() < 3) {
            base::WriteLog(2, "TCP: brak odpowiedzi na <%s> odebrane=<%s>", LogCopy(step).c_str(),
                           LogCopy(tcpBuffer_).c_str());
            return 0;
        }
        keepAfterAnswer(lineAnswerEnd(tcpBuffer_));
        tcpBuffer_.clear();
        Pause(t_.vantrelTcpStepPause);
    }
    return 0;
}

// Records may follow an answer in the same read: they are kept for the
// transmission loop.
void TWatek::keepAfterAnswer(std::size_t answerEnd) {
    if (answerEnd < tcpBuffer_.size())
        loginRest_.append(tcpBuffer_, answerEnd);
}

void TWatek::morvaModeRestore() {
    detail("próba przywrócenia trybu pracy centrali");
    if (!terminated_ && serial_ && serial_->IsOpen()) {
        std::string keys = "\x03\x04";
        keys += std::string(10, '\x18');
        keys += std::string(10, '\x08');
        keys += '\x15';
        serial_->Write(keys.data(), keys.size(), &terminated_);
    }
    detail("czekam na przywrócenie trybu pracy centrali");
    Pause(t_.modeRestorePause);
    if (serial_ && serial_->IsOpen())
        serial_->Purge();
}

// From the login prompt to CTI mode; false when the attempt failed (the
// error is set when the log-in must end).
bool TWatek::morvaSerialPassword() {
    detail("Logowanie do centrali");
    if (!Czysc_port())
        return false;
    if (Wyslij_ciag_z_echem("cti\r") != 0)
        return false;
    long got = 0;
    std::string answer = readSerialText(10, &got);
    if (answer != "Password: ") {
        if (details())
            base::WriteLog(1, "Złe pytanie o hasło odczytane=%ld odp=<%s>", got, LogCopy(answer).c_str());
        return false;
    }
    detail("Wysyłanie hasła");
    if (Wyslij_ciag(MorvaPassword) != 0)
        return false;
    detail("Czekam na weryfikację hasła");
    if (!terminated_)
        Pause(t_.morvaPasswordPause);
    answer = readSerialText(8, &got);
    if (answer != "\r\r\nCTI: ") {
        if (details())
            base::WriteLog(1, "Złe hasło odczytane=%ld odp=<%s>", got, LogCopy(answer).c_str());
        return false;
    }
    detail("Uruchamianie trybu CTI");
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (Wyslij_ciag("cti 4\r") != 0)
            return false;
        answer = readSerialText(11, &got);
        if (answer.find("cti 4\r") != std::string::npos) {
            detail("tryb CTI uruchomiony");
            error_ = 0;
            return true;
        }
        if (details())
            base::WriteLog(1, "Błąd uruchamiania CTI odczytane=%ld odp=<%s>", got, LogCopy(answer).c_str());
        if (!Czysc_port())
            return false;
    }
    error_ = 10;
    return false;
}

void TWatek::Loguj_morva() {
    if (!Czysc_port())
        return;
    int attempt = 0;
    for (;;) {
        ++attempt;
        if (attempt > 5 || terminated_) {
            error_ = 9;
            base::WriteLog(2, "Nie wykryto centrali");
            return;
        }
        detail("Czekam na odpowiedź centrali");
        if (Wyslij_znak('\r') != 0)
            return;
        long got = 0;
        const std::string start = readSerialText(2, &got);
        if (start.size() != 2) {
            morvaModeRestore();
            continue;
        }
        if (start == "\r\r") {
            if (Wyslij_ciag("logout") != 0)
                return;
            attempt = 0;
            continue;
        }
        if (start != "\r\n") {
            if (Wyslij_ciag("reset\r") != 0)
                return;
            Pause(t_.resetPause);
            morvaModeRestore();
            continue;
        }
        detail("sprawdzam prompt");
        const std::string prompt = readSerialText(7, &got);
        if (prompt.empty()) {
            morvaModeRestore();
            continue;
        }
        if (isShellPrompt(prompt)) {
            if (Wyslij_ciag("logout") != 0)
                return;
            attempt = 0;
            continue;
        }
        detail("czekam na prompt loginu");
        const std::string rest = readSerialText(6, &got);
        if (got < 0)
            continue;
        if (prompt + rest != "Morva login: ") {
            if (details())
                base::WriteLog(1, "Odebrany zły prompt: odczytane=%zu odp=<%s>", prompt.size() + rest.size(),
                               LogCopy(prompt + rest).c_str());
            morvaModeRestore();
            continue;
        }
        if (morvaSerialPassword())
            return;
        if (error_ == 8 || error_ == 10 || error_ == 11)
            return;
    }
}

// One attempt of the TCP dialogue: 1 success, 0 next attempt, -1 log-in failed.
int TWatek::morvaTcpAttempt() {
    tcpBuffer_.clear();
    Pause(t_.morvaTcpPromptPause);
    CzytajTCP(15);
    if (!tcpBuffer_.empty() && tcpBuffer_ != "Morva login: ") {
        if (details())
            base::WriteLog(1, "TCP: Odebrany zły prompt: odp=<%s>", LogCopy(tcpBuffer_).c_str());
        return 0;
    }
    const int echo = Wyslij_ciag_z_echemTCP("cti\r");
    if (echo == 1)
        return -1;
    if (echo != 0)
        return 0;
    Pause(t_.morvaTcpPromptPause);
    CzytajTCP(20);
    if (tcpBuffer_ != "Password: " && tcpBuffer_ != "cti\r\nPassword: ")
        return 0;
    if (Wyslij_ciagTCP(MorvaPassword) != 0)
        return -1;
    detail("Czekam na weryfikację hasła");
    for (int step = 0; step < 10; ++step) {
        if (!Pause(t_.morvaTcpPasswordStep))
            return -1;
    }
    tcpBuffer_.clear();
    CzytajTCP(20);
    if (tcpBuffer_.size() < 8 || tcpBuffer_.find("CTI: ") == std::string::npos)
        return 0;
    return 1;
}

void TWatek::Loguj_morvaTCP() {
    auto fail = [this] {
        error_ = 9;
        base::WriteLog(2, "Błąd logowania do centrali");
    };
    int attempt = 1;
    for (;; ++attempt) {
        if (attempt >= 51 || terminated_)
            return fail();
        if (details())
            base::WriteLog(1, "Proba logowania %u", static_cast<unsigned>(attempt));
        const int result = morvaTcpAttempt();
        if (result < 0)
            return fail();
        if (result > 0)
            break;
    }
    for (;;) {
        tcpBuffer_.clear();
        Pause(t_.morvaTcpCtiPause);
        if (Wyslij_ciagTCP("cti 4\r") != 0)
            return fail();
        Pause(t_.morvaTcpCtiAnswerPause);
        CzytajTCP(MorvaCtiAnswerSize);
        if (tcpBuffer_.size() < MorvaCtiAnswerSize) {
            detail("TCP:Błąd uruchamiania trybu CTI");
            return fail();
        }
        if (tcpBuffer_.substr(0, MorvaCtiAnswerSize).find("cti 4\r") != std::string::npos) {
            detail("TCP:tryb CTI uruchomiony");
            keepAfterAnswer(MorvaCtiAnswerSize);
            error_ = 0;
            return;
        }
        if (++attempt > 50 || terminated_)
            return fail();
    }
}

} // namespace pbx
