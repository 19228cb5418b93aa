// The main window of the client-service benchmarks: built in-process with
// nothing outside (no exchange, no database, the service closed), its
// broadcasts sent to a local socket of the benchmark's own.
#pragma once

#include "BenchSupport.h"
#include "pbx/PbxLink.h"
#include "shell/MainForm.h"
#include "support/ClientSimulator.h"
#include "ui/Dialogs.h"

#include <QUdpSocket>
#include <memory>
#include <vector>

namespace bench {

// Made after the application object.
inline std::unique_ptr<TForm1> quietForm(QUdpSocket& broadcasts) {
    ui::setDialogs(std::make_shared<ui::HeadlessDialogs>());
    StoredCommandLine = "";
    StartupOptions nothingOutside;
    nothingOutside.connectExchange = false;
    nothingOutside.attachDatabase = false;
    nothingOutside.openClientService = false;
    auto form = std::make_unique<TForm1>(nullptr, nothingOutside);
    clients::ClientService& service = form->Clients();
    broadcasts.bind(QHostAddress::LocalHost, 0);
    form->Settings.BroadcastAddress = "127.0.0.1";
    form->Settings.PortUDP = broadcasts.localPort();
    service.UdpSocket->SetRemoteHost("127.0.0.1");
    service.UdpSocket->SetRemotePort(form->Settings.PortUDP);
    service.UstawKomunikatLP();
    return form;
}

// Users 1..`count` in the console's list with the log-in "user<n>" and the
// password "pw<n>", so that no log-in asks the database.
inline void addListedUsers(TForm1& form, int count) {
    std::vector<clients::UserSlotUser> users;
    for (int i = 1; i <= count; ++i) {
        const QString id = QString::number(i);
        form.UserLV->AddRow({id, "Nazwisko" + id, "Imie", "user" + id, "pw" + id, "", "", "", ""});
        users.push_back({id.toStdString(), ""});
    }
    form.UserLV->SetTag(2);
    form.Clients().FillUserSlots(users);
}

// The exchange link (PBX type 2) over TCP to `port` on this machine.
inline void connectExchange(TForm1& form, int port) {
    form.Settings.PbxType = 2;
    form.Settings.PbxPort = 5;
    form.Settings.TCPCentr = "127.0.0.1";
    form.Settings.PortTCPCent = port;
    form.Pbx().ConnectPbx();
}

// Logs simulated client `user` in ("user<n>", "pw<n>") and waits for its OK.
inline bool logIn(sim::ClientSimulator& client, int port, int user) {
    if (!client.Connect(port) || !client.LogIn("user" + std::to_string(user), "pw" + std::to_string(user)))
        return false;
    return waitUntil(
        [&] {
            for (const std::string& reply : client.Replies())
                if (reply == "OK")
                    return true;
            return false;
        },
        30000);
}

} // namespace bench
