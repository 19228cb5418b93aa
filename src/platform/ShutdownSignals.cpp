#include "platform/ShutdownSignals.h"

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace platform {
namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int number) {
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

bool catchSignals() {
    if (signalPipe[0] < 0 && ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : {SIGTERM, SIGINT, SIGHUP})
        sigaction(number, &action, nullptr);
    return true;
}

} // namespace

void ShutdownSignals::CatchEarly() {
    catchSignals();
}

ShutdownSignals::ShutdownSignals(QObject* parent) : QObject(parent) {
    if (!catchSignals())
        return;
    // A signal caught before is still in the pipe and is read at once.
    notifier_ = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &ShutdownSignals::readPipe);
}

ShutdownSignals::~ShutdownSignals() {
    for (int number : {SIGTERM, SIGINT, SIGHUP})
        std::signal(number, SIG_DFL);
}

void ShutdownSignals::readPipe() {
    unsigned char byte = 0;
    while (::read(signalPipe[0], &byte, 1) == 1)
        emit shutdownRequested(byte);
}

} // namespace platform
