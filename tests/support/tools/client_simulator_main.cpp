// The client simulator as a tool: connect to a running server, log in, and
// type requests (one per line, without the "!" and the CR) to send them;
// everything received is printed, line ends made visible.
//   client_simulator [--port N] [--host A] [--udp N] [--kla] [--login L --password P]
//                    [--ack ok|receive|error|none]
#include "support/ClientSimulator.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

namespace {

std::string visible(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c < 32 || c == 255) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else
            out += char(c);
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    int port = 1000, udp = 0;
    std::string host = "127.0.0.1", login, password;
    bool kla = false;
    sim::ClientSimulator::Ack ack = sim::ClientSimulator::Ack::Ok;
    for (int i = 1; i < argc; ++i) {
        const bool more = i + 1 < argc;
        if (!std::strcmp(argv[i], "--port") && more)
            port = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--host") && more)
            host = argv[++i];
        else if (!std::strcmp(argv[i], "--udp") && more)
            udp = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--kla"))
            kla = true;
        else if (!std::strcmp(argv[i], "--login") && more)
            login = argv[++i];
        else if (!std::strcmp(argv[i], "--password") && more)
            password = argv[++i];
        else if (!std::strcmp(argv[i], "--ack") && more) {
            const std::string word = argv[++i];
            ack = word == "receive" ? sim::ClientSimulator::Ack::Receive
                  : word == "error" ? sim::ClientSimulator::Ack::Error
                  : word == "none"  ? sim::ClientSimulator::Ack::None
                                    : sim::ClientSimulator::Ack::Ok;
        } else {
            std::fprintf(stderr,
                         "usage: %s [--port N] [--host A] [--udp N] [--kla] [--login L --password P] "
                         "[--ack ok|receive|error|none]\n",
                         argv[0]);
            return 2;
        }
    }
    sim::ClientSimulator client;
    client.SetAck(ack);
    client.OnMessage = [](const std::string& m) { std::printf("TCP <%s>\n", visible(m).c_str()); };
    client.OnDatagram = [](const std::string& d) { std::printf("UDP <%s>\n", visible(d).c_str()); };
    if (udp && !client.ListenUdp(udp))
        std::fprintf(stderr, "cannot listen on UDP port %d: %s\n", udp, std::strerror(errno));
    if (!client.Connect(port, host)) {
        std::fprintf(stderr, "cannot connect to %s:%d: %s\n", host.c_str(), port, std::strerror(errno));
        return 1;
    }
    std::printf("connected to %s:%d\n", host.c_str(), port);
    std::fflush(stdout);
    if (!login.empty())
        client.LogIn(login, password, kla);
    std::string line;
    while (std::getline(std::cin, line))
        client.SendRequest(line);
    return 0;
}
