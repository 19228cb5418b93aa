// The console's list of clients and the removal of client records. A record
// is unlinked only under `event_bufor` as well (the link thread walks the
// list for pending commands), taken after `event_obslugi`.
#include "clients/ClientService.h"

#include "base/DiagnosticLog.h"
#include "base/EventLock.h"
#include "ui/Components.h"
#include "ui/ListIndex.h"

#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace clients {
namespace {

enum Column {
    ColAddress = 0,
    ColPort,
    ColId,
    ColName,
    ColVersion,
    ColState,
    ColReceiveTime,
    ColQueue,
    ColAwaiting,
    ColSkipped,
    ColSendTime,
    ColAnnounced,
    ColSent,
    ColReceived,
    ColDone,
    ColWrite,
    ColNoData,
    ColError,
    ColShortFrame,
    ColService,
    ColFrame,
    ColSocketError,
    ColSocketNumber,
    ColumnCount
};

bool clientTrace() {
    return base::Switches().chbLogKlienci.load();
}

// Local time as hh:mm:ss.
QString timeText(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
    return QString::fromLatin1(text);
}

// Setting a text the cell already shows would still make the view lay
// its rows out again.
class RowFiller {
  public:
    explicit RowFiller(QTreeWidgetItem* row) : row_(row) {}
    void setText(int column, const QString& text) {
        if (row_->text(column) != text)
            row_->setText(column, text);
    }

  private:
    QTreeWidgetItem* row_;
};

void fillRow(const ClientServiceHost& host, QTreeWidgetItem* item, const Klient& k) {
    RowFiller row(item);
    row.setText(ColAddress, QString::fromStdString(k.IP));
    row.setText(ColPort, k.Port ? QString::number(k.Port) : QString());
    row.setText(ColId, QString::fromStdString(k.IDFB));
    row.setText(ColName, QString::fromStdString(k.Nazwa));
    row.setText(ColVersion, QString::fromStdString(k.WersjaTekst()));
    row.setText(ColState, QString::fromLatin1(Klient::StateName(k.Stan)));
    row.setText(ColReceiveTime, timeText(k.CzasOdbioru));
    row.setText(ColQueue, QString::number(k.WKolejce));
    row.setText(ColAwaiting,
                QString::fromStdString(k.HasOstatniaWyslana ? k.OstatniaWyslana : std::string()));
    row.setText(ColSkipped, QString::number(k.Pominiete));
    row.setText(ColSendTime, timeText(k.CzasWyslania));
    row.setText(ColAnnounced, QString::fromStdString(host.Text(k.Zalogowany ? "IDS_510" : "IDS_503")));
    row.setText(ColSent, QString::number(k.Wyslane));
    row.setText(ColReceived, QString::number(k.OdebraneRECEIVE));
    row.setText(ColDone, QString::number(k.OdebraneOK));
    row.setText(ColError, QString::number(k.OdebraneERROR));
    row.setText(ColService, QString::number(k.BledyObslugi));
    row.setText(ColSocketNumber, QString::number(k.Gniazdo));
}

} // namespace

ClientService::ClientService(ClientServiceHost& host)
    : Calendars(host.CalendarServer(), host.ProgramFolder(),
                [h = &host] { return h->CalendarSettingsInForce(); }),
      host_(host), clientPortRetry_(std::make_unique<ListenRetry>(host.ClientServer(), ListenedPort::Clients,
                                                                  [this] { guardAccepting(); })) {}

ClientService::~ClientService() {
    // The copy of the listening descriptor would keep the port listening.
    delete acceptGuard_;
    if (acceptGuardDescriptor_ >= 0)
        ::close(acceptGuardDescriptor_);
}

void ClientService::refreshRow(const Klient& record) {
    staleRows_.insert(record.Gniazdo);
    if (!rowRefresh_) {
        rowRefresh_ = new QTimer(&context_);
        rowRefresh_->setSingleShot(true);
        QObject::connect(rowRefresh_, &QTimer::timeout, &context_, [this] { refreshStaleRows(); });
    }
    if (!rowRefresh_->isActive())
        rowRefresh_->start(RowRefreshMs);
}

void ClientService::refreshStaleRows() {
    for (std::uint32_t connection : staleRows_) {
        const Klient* record = connection == 0 ? ServerKlient : Klient::FindByConnection(connection);
        auto row = rows_.find(connection);
        if (record && row != rows_.end())
            fillRow(host_, row->second, *record);
    }
    staleRows_.clear();
}

void ClientService::showClientCount() {
    host_.ShowClientCount(IloscKlientow);
}

void ClientService::DodajKlienta() {
    if (!CurrentKlient)
        return;
    QTreeWidgetItem* row = rowOf(*CurrentKlient);
    if (!row || CurrentKlient->Gniazdo == 0) {
        QStringList cells;
        for (int i = 0; i < ColumnCount; ++i)
            cells << QStringLiteral("0");
        row = host_.ClientListView().AddRow(cells);
        rows_[CurrentKlient->Gniazdo] = row;
    }
    fillRow(host_, row, *CurrentKlient);
    const std::string address = CurrentKlient->IP;
    CurrentKlient = nullptr;
    showClientCount();
    if (clientTrace())
        base::WriteLog(1, "klient z adresu %s dodany, łącznie %u klientów", address.c_str(),
                       static_cast<unsigned>(IloscKlientow));
}

void ClientService::Zmien_stan() {
    if (!CurrentKlient)
        return;
    refreshRow(*CurrentKlient);
    if (clientTrace())
        base::WriteLog(1, "Zmiana stanu klienta IDFB=%s stan=%s", CurrentKlient->IDFB.c_str(),
                       Klient::StateName(CurrentKlient->Stan));
    CurrentKlient = nullptr;
}

void ClientService::UsunZListy(const std::string& extension, const std::string& address) {
    if (RemovalKey != 0) {
        auto it = rows_.find(RemovalKey);
        if (it != rows_.end()) {
            delete it->second;
            rows_.erase(it);
        }
    }
    RemovalKey = 0;
    showClientCount();
    if (clientTrace())
        base::WriteLog(1, "usunięcie klienta wew=%s z adresu %s z listy wszystkich=%u", extension.c_str(),
                       address.c_str(), static_cast<unsigned>(IloscKlientow));
}

void ClientService::deleteClientRecord(Klient* record) {
    const std::string idfb = record->IDFB;
    const std::string address = record->IP;
    RemovalKey = record->Gniazdo;
    connectionGone(record->Gniazdo);
    releasePendingLogin(*record);
    if (record->Socket)
        record->Socket->close();
    {
        base::EventLock lock(event_bufor.get());
        delete record;
    }
    UsunZListy(idfb, address);
    PowiadomKlientowUzytkownikRozlaczony(idfb);
}

void ClientService::UsunKlienta(Klient* record) {
    if (record)
        deleteClientRecord(record);
}

void ClientService::RemoveDisconnectedClients() {
    // Only the records of closed connections are looked at, found by number.
    std::vector<std::uint32_t> closed;
    closed.swap(disconnected_);
    for (std::uint32_t connection : closed) {
        Klient* k = Klient::FindByConnection(connection);
        if (k && k->Stan == Klient::DISCONNECT)
            deleteClientRecord(k);
    }
}

void ClientService::CreateServerRecord() {
    base::EventLock lock(host_.ServiceLock());
    auto* record = new Klient("0.0.0.0", "serwer", nullptr, std::uint32_t(host_.PortTCP()));
    record->SetIDFB("0");
    record->SetNazwa(host_.Text("IDS_21"));
    record->Stan = Klient::OK;
    record->UstawWersje(host_.ProgramVersion());
    ServerKlient = CurrentKlient = record;
    DodajKlienta();
}

QTreeWidgetItem* ClientService::rowOf(const Klient& record) {
    auto it = rows_.find(record.Gniazdo);
    return it == rows_.end() ? nullptr : it->second;
}

std::vector<std::string> ClientService::listedClientIds() {
    // The rows follow their records with a delay: bring them up to date first.
    refreshStaleRows();
    const ui::TListView& view = host_.ClientListView();
    std::vector<std::string> ids;
    for (int i = 0; i < view.topLevelItemCount(); ++i)
        ids.push_back(view.topLevelItem(i)->text(ColId).toStdString());
    return ids;
}

} // namespace clients

Klient* Klient::ZnajdzPoWew(const std::string& extension, const ui::TListView& userPhones) {
    if (clients::clientTrace())
        base::WriteLog(1, "Szukam info o kliencie wew=%s", extension.c_str());
    // The columns are found by place: their captions are translated.
    constexpr int UserColumn = 0;
    constexpr int PhoneColumn = 2;
    if (userPhones.columnCount() <= PhoneColumn)
        return nullptr;
    const QTreeWidgetItem* row =
        ui::ColumnIndex::Of(userPhones, PhoneColumn).First(QString::fromStdString(extension));
    return row ? ZnajdzPoIDFB(row->text(UserColumn).toStdString()) : nullptr;
}
