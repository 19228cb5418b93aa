// The client service with many clients, the main window built in-process
// and every client on a real socket on 127.0.0.1:
//  1. the log-in of N clients (KL), each against a user list of N users:
//     time per log-in, from the request to the reply written;
//  2. the presence round (client check and "!UP" broadcasts) with N
//     logged-in clients and N presence slots: CPU time of the GUI thread;
//  3. the console list's refresh that follows a round.
// Usage: client_login [clients=1000] [rounds=200]
#include "BenchSupport.h"
#include "ClientServiceBench.h"
#include "shell/MainForm.h"
#include "ui/Application.h"
#include "ui/Dialogs.h"

#include <QCoreApplication>
#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

namespace {

double threadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

void report(const char* what, const std::vector<double>& ms) {
    std::printf("%-40s n=%zu median %.3f ms  p99 %.3f ms\n", what, ms.size(), bench::percentile(ms, 0.5),
                bench::percentile(ms, 0.99));
}

} // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 200;
    bench::Sandbox dir;
    ui::TApplication app(argc, argv);
    QUdpSocket broadcasts;
    auto form = bench::quietForm(broadcasts);
    clients::ClientService& service = form->Clients();

    // The user list as the loader leaves it; every password matches, so no
    // log-in asks the database.
    std::vector<clients::UserSlotUser> users;
    for (int i = 1; i <= count; ++i) {
        const QString id = QString::number(i);
        form->UserLV->AddRow({id, "Nazwisko" + id, "Imie", "user" + id, "pw" + id, "", "", "", ""});
        users.push_back({id.toStdString(), ""});
    }
    form->UserLV->SetTag(2);
    service.FillUserSlots(users);

    QTcpServer listener;
    if (!listener.listen(QHostAddress::LocalHost, 0))
        return 1;
    std::vector<std::unique_ptr<QTcpSocket>> peers;
    std::vector<Klient*> records;
    for (int i = 0; i < count; ++i) {
        auto peer = std::make_unique<QTcpSocket>();
        peer->connectToHost(QHostAddress::LocalHost, listener.serverPort());
        if (!peer->waitForConnected(10000) || !listener.waitForNewConnection(10000))
            return 1;
        QTcpSocket* serverSide = listener.nextPendingConnection();
        const std::string address = serverSide->peerAddress().toString().toStdString();
        records.push_back(new Klient(address, address, serverSide, serverSide->peerPort(), 1000 + i));
        CurrentKlient = records.back();
        service.DodajKlienta();
        peers.push_back(std::move(peer));
    }

    std::vector<double> loginMs;
    std::string request;
    for (int i = 0; i < count; ++i) {
        request = "2.04.00.00&user" + std::to_string(i + 1) + "&pw" + std::to_string(i + 1) + "\r\n";
        int code = -1;
        const auto start = std::chrono::steady_clock::now();
        CurrentKlient = records[i];
        const clients::RequestEnd next =
            service.RejestracjaKlienta(request, records[i]->IP, false, code, records[i]->Gniazdo);
        records[i]->Socket->flush();
        loginMs.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        if (!next || code != 0) {
            std::fprintf(stderr, "log-in %d refused with code %d\n", i, code);
            return 1;
        }
        if (i % 50 == 0)
            QCoreApplication::processEvents();
    }
    report("log-in (KL), per client", loginMs);

    std::vector<double> roundCpuMs, roundWallMs;
    for (int r = 0; r < rounds; ++r) {
        const auto start = std::chrono::steady_clock::now();
        const double cpu = threadCpuMs();
        service.InfoOKlientach();
        roundCpuMs.push_back(threadCpuMs() - cpu);
        roundWallMs.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        while (broadcasts.hasPendingDatagrams())
            broadcasts.receiveDatagram();
        QCoreApplication::processEvents();
    }
    report("presence round, CPU of the GUI thread", roundCpuMs);
    report("presence round, wall", roundWallMs);

    // The console's list follows the records a while after they change: the
    // refresh after one round, every row marked.
    std::vector<double> refreshCpuMs;
    for (int r = 0; r < std::min(rounds, 20); ++r) {
        service.InfoOKlientach();
        std::this_thread::sleep_for(std::chrono::milliseconds(clients::ClientService::RowRefreshMs + 50));
        const double cpu = threadCpuMs();
        QCoreApplication::processEvents();
        refreshCpuMs.push_back(threadCpuMs() - cpu);
        while (broadcasts.hasPendingDatagrams())
            broadcasts.receiveDatagram();
    }
    report("list refresh after a round, CPU", refreshCpuMs);

    for (auto& peer : peers)
        peer->abort();
    form.reset();
    return 0;
}
