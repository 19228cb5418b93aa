#include "support/Ports.h"

#include "shell/MainForm.h"

#include <QTcpServer>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testing_support {

HeldUdpPort::HeldUdpPort() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd_ < 0)
        return;
    const int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t size = sizeof at;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&at), &size) == 0)
        port_ = ntohs(at.sin_port);
}

HeldUdpPort::~HeldUdpPort() {
    if (fd_ >= 0)
        ::close(fd_);
}

int OpenOnFreePort(const std::function<bool(int port)>& open) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        int port = 0;
        {
            QTcpServer probe;
            if (!probe.listen(QHostAddress::AnyIPv4, 0))
                return 0;
            port = probe.serverPort();
        }
        if (open(port))
            return port;
    }
    return 0;
}

void OpenClientServiceOnChosenPort(TForm1& form) {
    form.Settings.PortTCP = 0;
    form.WlaczSerwerClick();
    ASSERT_TRUE(form.Clients().IsOpen()) << form.serwer->errorString().toStdString();
    form.Settings.PortTCP = form.serwer->serverPort();
}

} // namespace testing_support
