// The exchange simulator as a tool: start it, point the server at the port
// or device it prints, and type records to send them (one per line).
//   exchange_simulator [--morva] [--pty | --port N] [--error N] [--silent]
#include "shell/SettingsTable.h"
#include "support/ExchangeSimulator.h"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
    sim::Family family = sim::Family::Vantrel;
    sim::Transport transport = sim::Transport::Tcp;
    sim::AnswerRule rule;
    int port = shell::DefaultExchangePort;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--morva"))
            family = sim::Family::Morva;
        else if (!std::strcmp(argv[i], "--pty"))
            transport = sim::Transport::Pty;
        else if (!std::strcmp(argv[i], "--port") && i + 1 < argc)
            port = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--error") && i + 1 < argc) {
            rule.kind = sim::AnswerRule::Kind::Error;
            rule.errorCode = std::atoi(argv[++i]);
        } else if (!std::strcmp(argv[i], "--silent"))
            rule.kind = sim::AnswerRule::Kind::Silent;
        else {
            std::fprintf(stderr, "usage: %s [--morva] [--pty | --port N] [--error N] [--silent]\n", argv[0]);
            return 2;
        }
    }
    sim::ExchangeSimulator exchange(family, transport);
    exchange.SetAnswerRule(rule);
    exchange.OnReceived = [](const std::string& line) { std::printf("PC->CEN <%s>\n", line.c_str()); };
    if (!exchange.Start(port)) {
        std::fprintf(stderr, "cannot start: %s\n", std::strerror(errno));
        return 1;
    }
    if (transport == sim::Transport::Tcp)
        std::printf("listening on 127.0.0.1:%d\n", exchange.Port());
    else
        std::printf("serial device: %s (set HALVEX_COM1 to it)\n", exchange.SlavePath().c_str());
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line))
        exchange.SendRecord(line);
    return 0;
}
