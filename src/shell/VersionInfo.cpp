// The program's version: read from its version resource into the title and
// into the server's own client record.
#include "shell/MainForm.h"

#include "base/TraceLabel.h"

#include <cstring>

void TForm1::OdczytajWersjeProgramu() {
    base::TraceScope trace("OdczytajWersjeProgramu");
    const std::string path = TExeVersion::ProgramPath();
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return;
    const std::string name = path.substr(slash + 1);
    char buffer[260];
    const unsigned size = TExeVersion::GetFileVersionField(path, "FileVersion", sizeof buffer, buffer);
    WriteLog(1, "nazwa pliku=<%s> zasoby=%u", name.c_str(), size);
    if (size > 0) {
        WriteLog(1, "wersja=<%s> odebrane=%u", buffer, size);
        ProgramVersion = std::string(buffer).substr(0, 19);
    } else {
        WriteLog(2, "błąd %u pobrania wersji", 0u);
        ProgramVersion = "nieznana";
    }
    const unsigned nameSize = TExeVersion::GetFileVersionField(path, "ProductName", sizeof buffer, buffer);
    if (nameSize > 0)
        WriteLog(1, "nazwa=<%s> odebrane=%u", buffer, nameSize);
    else
        WriteLog(2, "błąd %u pobrania nazwy", 0u);
    SetCaption(QString::fromStdString(Text("IDS_35") + Wersja->GetMajorVersion() + "." +
                                      Wersja->GetMinorVersion() + "." + Wersja->GetRelease()));
}
