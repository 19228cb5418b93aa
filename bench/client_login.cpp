// The client service with many clients, the main window built in-process
// and every client on a real socket on 127.0.0.1:
//  1. the log-in of the first `logins` clients (KL), against a user list of
//     as many users as the most clients measured: time per log-in, from the
//     request to the reply written;
//  2. the presence round (client check and "!UP" broadcasts) at each number
//     of logged-in clients given, with as many presence slots as the table
//     holds: CPU time of the GUI thread per round;
//  3. the console list's refresh that follows a round, at the most clients.
// Usage: client_login [rounds=50] [logins=1000] [clients=250,500,1000,2000]
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

using bench::numbersOf;

double threadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

void report(const std::string& what, const std::vector<double>& ms) {
    std::printf("%-48s n=%zu median %.3f ms  p99 %.3f ms  max %.3f ms\n", what.c_str(), ms.size(),
                bench::percentile(ms, 0.5), bench::percentile(ms, 0.99),
                *std::max_element(ms.begin(), ms.end()));
    std::fflush(stdout);
}

void drainBroadcasts(QUdpSocket& broadcasts) {
    while (broadcasts.hasPendingDatagrams())
        broadcasts.receiveDatagram();
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 50;
    const int logins = argc > 2 ? std::atoi(argv[2]) : 1000;
    const std::vector<int> levels = numbersOf(argc > 3 ? argv[3] : "250,500,1000,2000");
    if (levels.empty() || rounds < 1)
        return 2;
    const int count = std::max(levels.back(), logins);
    if (!bench::RaiseDescriptorLimit(rlim_t(count) * 2 + 256)) {
        std::fprintf(stderr, "too few descriptors for %d clients\n", count);
        return 1;
    }
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
    std::vector<double> loginMs;
    std::string request;
    // Connects and logs in client `i` (from 0).
    auto addClient = [&](int i) {
        auto peer = std::make_unique<QTcpSocket>();
        peer->connectToHost(QHostAddress::LocalHost, listener.serverPort());
        if (!peer->waitForConnected(10000) || !listener.waitForNewConnection(10000))
            return false;
        QTcpSocket* serverSide = listener.nextPendingConnection();
        const std::string address = serverSide->peerAddress().toString().toStdString();
        auto* record = new Klient(address, address, serverSide, serverSide->peerPort(), 1000 + i);
        CurrentKlient = record;
        service.DodajKlienta();
        peers.push_back(std::move(peer));

        request = "2.04.00.00&user" + std::to_string(i + 1) + "&pw" + std::to_string(i + 1) + "\r\n";
        int code = -1;
        const auto start = std::chrono::steady_clock::now();
        CurrentKlient = record;
        const clients::RequestEnd next =
            service.RejestracjaKlienta(request, record->IP, false, code, record->Gniazdo);
        record->Socket->flush();
        if (i < logins)
            loginMs.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        if (!next || code != 0) {
            std::fprintf(stderr, "log-in %d refused with code %d\n", i, code);
            return false;
        }
        if (i % 50 == 0) {
            QCoreApplication::processEvents();
            drainBroadcasts(broadcasts);
        }
        return true;
    };

    int connected = 0;
    for (const int level : levels) {
        for (; connected < level; ++connected)
            if (!addClient(connected))
                return 1;
        if (connected >= logins && int(loginMs.size()) == logins) {
            report("log-in (KL), per client, first " + std::to_string(logins), loginMs);
            loginMs.push_back(-1); // reported
        }
        QCoreApplication::processEvents();
        drainBroadcasts(broadcasts);
        std::vector<double> roundCpuMs;
        for (int r = 0; r < rounds; ++r) {
            const double cpu = threadCpuMs();
            service.InfoOKlientach();
            roundCpuMs.push_back(threadCpuMs() - cpu);
            QCoreApplication::processEvents();
            drainBroadcasts(broadcasts);
        }
        report("presence round, GUI-thread CPU, " + std::to_string(level) + " clients", roundCpuMs);
    }
    for (; connected < logins; ++connected)
        if (!addClient(connected))
            return 1;
    if (int(loginMs.size()) == logins)
        report("log-in (KL), per client, first " + std::to_string(logins), loginMs);

    // The console's list follows the records a while after they change: the
    // refresh after one round, every row marked.
    std::vector<double> refreshCpuMs;
    for (int r = 0; r < std::min(rounds, 20); ++r) {
        service.InfoOKlientach();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const double cpu = threadCpuMs();
        QCoreApplication::processEvents();
        refreshCpuMs.push_back(threadCpuMs() - cpu);
        drainBroadcasts(broadcasts);
    }
    report("list refresh after a round, CPU, " + std::to_string(connected) + " clients", refreshCpuMs);

    for (auto& peer : peers)
        peer->abort();
    form.reset();
    return 0;
}
