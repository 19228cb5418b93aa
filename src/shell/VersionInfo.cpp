// The program's version: read from its version resource into the title and
// into the server's own client record.
#include "shell/MainForm.h"

#include "base/TraceLabel.h"

void TForm1::OdczytajWersjeProgramu() {
    OdczytajWersjeProgramu(TExeVersion::ProgramPath());
}

// Each failure is logged with the reason the system gives for it.
void TForm1::OdczytajWersjeProgramu(const std::string& path) {
    base::TraceScope trace("OdczytajWersjeProgramu");
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return;
    const std::string name = path.substr(slash + 1);
    int error = 0;
    const unsigned size = TExeVersion::VersionBlockSize(path, error);
    WriteLog(1, "nazwa pliku=<%s> zasoby=%u", name.c_str(), size);
    std::string block;
    if (size == 0 || !TExeVersion::ReadVersionBlock(path, block, error)) {
        WriteLog(2, "błąd %u pobrania wersji", unsigned(error));
    } else {
        const std::string table = TExeVersion::ProgramStringTable;
        std::string value;
        if (TExeVersion::QueryVersionValue(block, table + "FileVersion", value, error)) {
            WriteLog(1, "wersja=<%s> odebrane=%u", value.c_str(), unsigned(value.size()));
            ProgramVersion = value.substr(0, 19);
        } else {
            WriteLog(2, "błąd %u pobrania wersji", unsigned(error));
            ProgramVersion = "nieznana";
        }
        if (TExeVersion::QueryVersionValue(block, table + "ProductName", value, error))
            WriteLog(1, "nazwa=<%s> odebrane=%u", value.c_str(), unsigned(value.size()));
        else
            WriteLog(2, "błąd %u pobrania nazwy", unsigned(error));
    }
    SetCaption(QString::fromStdString(Text("IDS_35") + Wersja->GetMajorVersion() + "." +
                                      Wersja->GetMinorVersion() + "." + Wersja->GetRelease()));
}
