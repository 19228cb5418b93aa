// The main window's side of the diagnostic log: the writer, the two drains
// into the panes and the file, and the switches of the diagnostics page.
#include "shell/MainForm.h"

#include "base/LogFile.h"
#include "base/TraceLabel.h"
#include "shell/FileLocations.h"
#include "sms/SmsGateway.h"

#include <QEvent>
#include <QSaveFile>
#include <QScrollBar>
#include <cstdio>
#include <cstring>

namespace {

constexpr int SecondPaneLineLimit = 250;

// A drain's lines go into a pane in one batch: a line at a time, with a
// scroll after each, makes a burst of traffic hold up the GUI thread for
// seconds.
QStringList paneLines(const std::deque<std::string>& batch) {
    QStringList lines;
    lines.reserve(qsizetype(batch.size()));
    for (const std::string& line : batch)
        lines.append(QString::fromStdString(line));
    return lines;
}

} // namespace

void TForm1::WriteLog(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    base::DiagnosticLog::instance().WriteV(level, format, args);
    va_end(args);
}

void TForm1::QueueLogLineMain(std::string line) {
    base::DiagnosticLog::instance().LogQueueMain.Push(std::move(line));
}

void TForm1::QueueLogLineSecond(std::string line) {
    base::DiagnosticLog::instance().LogQueueSecond.Push(std::move(line));
}

void TForm1::TimerUpdateInfoTimer() {
    base::MainLogDrain drained = base::DrainMainLog(LogFilePath, base::Switches().LogDoPliku.load());
    std::deque<std::string>& batch = drained.lines;
    if (batch.empty())
        return;
    if (drained.toFile) {
        const base::LogFileAppend& appended = drained.appended;
        reportLogFileState(appended.written, appended.error);
        batch.insert(batch.end(), appended.rotations.begin(), appended.rotations.end());
    }
    Info->AddLines(paneLines(batch), MainPaneLineLimit, chbDiagnostykaScroll->isChecked());
    Info->update();
}

// A log file that cannot be written is said once, on stderr and in the log
// itself (which still reaches the pane), until it can be written again.
void TForm1::reportLogFileState(bool writable, int error) {
    if (writable || LogFileFailureReported) {
        LogFileFailureReported = !writable;
        return;
    }
    LogFileFailureReported = true;
    const char* reason =
        error == ELOOP ? "it is a symbolic link, which is not followed" : std::strerror(error);
    std::fprintf(stderr, "Halvex: cannot write the log file %s: %s\n", LogFilePath.c_str(), reason);
    WriteLog(2, "Nie można zapisać pliku %s: %s", LogFilePath.c_str(), reason);
}

void TForm1::TimerUpdateKolejkaTimer() {
    auto batch = base::DiagnosticLog::instance().LogQueueSecond.TakeAll();
    if (batch.empty())
        return;
    Kolejka->AddLines(paneLines(batch), SecondPaneLineLimit, chbDiagnostykaScroll->isChecked());
    Kolejka->update();
}

void TForm1::UstawDiagnostyke() {
    CheckBoxInfoUART->setEnabled(chbInfoPCTI->isChecked());
    Kolejka->setVisible(chbKolejka->isChecked());
    VisibleLogPanes = Kolejka->IsVisible() ? 2 : 1;
    Ustaw_okna();
    auto& sw = base::Switches();
    sw.LogInfo = LogInfo->isChecked();
    sw.LogDoPliku = LogDoPliku->isChecked();
    sw.chbInfoPCTI = chbInfoPCTI->isChecked();
    sw.CheckBoxInfoUART = CheckBoxInfoUART->isChecked();
    sw.chbLogRS = chbLogRS->isChecked();
    sw.chbLogKlienci = chbLogKlienci->isChecked();
    sw.chbLogBaza = chbLogBaza->isChecked();
    sw.chbLogDzwonienie = chbLogDzwonienie->isChecked();
    sw.chbPctiErrors = chbPctiErrors->isChecked();
    sw.chbKolejka = chbKolejka->isChecked();
    Sms().SmsEngine.SetErrorLogging(chbSmsErrors->isChecked() ? 1 : 0);
}

// The panes share the group box: one fills it, two split it in halves.
void TForm1::Ustaw_okna() {
    base::TraceScope trace("Ustaw_okna");
    Info->raise();
    if (VisibleLogPanes < 2)
        return;
    Kolejka->raise();
}

void TForm1::TabStatResize() {
    Ustaw_okna();
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == TabStat && event->type() == QEvent::Resize)
        TabStatResize();
    return TForm::eventFilter(watched, event);
}

void TForm1::KolejkaClick() {
    if (auto* item = Kolejka->currentItem())
        Kolejka->SetHint(item->text());
}

void TForm1::Nagraj1Click() {
    const std::string path = shell::SiblingOfLogFile(LogFilePath, "kolejka.log");
    QSaveFile file(QString::fromStdString(path));
    bool saved = file.open(QIODevice::WriteOnly);
    for (const QString& line : Kolejka->Items())
        saved = saved && file.write((line + QStringLiteral("\r\n")).toUtf8()) >= 0;
    if (!saved || !file.commit())
        WriteLog(2, "Nie można zapisać pliku %s", path.c_str());
}

void TForm1::Czy1Click() {
    Kolejka->clear();
}

// Words of the command line, anywhere and in any case, turn log categories on.
void TForm1::ApplyCommandLineSwitches(const std::string& commandLine) {
    std::string upper = commandLine;
    for (char& c : upper)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    auto has = [&upper](const char* word) { return upper.find(word) != std::string::npos; };
    auto& sw = base::Switches();
    sw.LogInfo = has("DEBUG");
    TabDebug->SetTabVisible(sw.LogInfo);
    const bool all = has("ALL");
    if (has("FIREBIRD") || all)
        sw.chbLogBaza = true;
    if (has("CTI") || all)
        sw.chbInfoPCTI = true;
    if (has("COM") || has("TCP") || all)
        sw.chbLogRS = true;
    if (has("POLACZENIA") || all)
        sw.chbLogDzwonienie = true;

    const std::pair<ui::TCheckBox*, bool> boxes[] = {{LogInfo, sw.LogInfo},
                                                     {chbLogBaza, sw.chbLogBaza},
                                                     {chbInfoPCTI, sw.chbInfoPCTI},
                                                     {chbLogRS, sw.chbLogRS},
                                                     {chbLogDzwonienie, sw.chbLogDzwonienie}};
    for (auto [box, on] : boxes) {
        box->disconnect(this);
        box->setChecked(on);
    }
    CheckBoxInfoUART->setEnabled(chbInfoPCTI->isChecked());
    for (auto* box : {LogInfo, LogDoPliku, chbInfoPCTI, CheckBoxInfoUART, chbLogRS, chbLogKlienci, chbLogBaza,
                      chbLogDzwonienie, chbPctiErrors, chbSmsErrors, chbKolejka, chbDiagnostykaScroll})
        connect(box, &QCheckBox::clicked, this, &TForm1::UstawDiagnostyke);
}
