// The main window of the client-service benchmarks: built in-process with
// nothing outside (no exchange, no database, the service closed), its
// broadcasts sent to a local socket of the benchmark's own.
#pragma once

#include "shell/MainForm.h"
#include "ui/Dialogs.h"

#include <QUdpSocket>
#include <memory>

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

} // namespace bench
