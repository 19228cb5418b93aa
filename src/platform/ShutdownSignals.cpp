#include "platform/ShutdownSignals.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace platform {
namespace {

int signalPipe[2] = {-1, -1};
// Wakes the stop's watch thread; opened before the signals are caught.
int watchPipe[2] = {-1, -1};

void onSignal(int number) {
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    if (watchPipe[1] >= 0) [[maybe_unused]]
        const ssize_t woken = ::write(watchPipe[1], &byte, 1);
}

std::mutex stopMutex;
bool stopBegun = false;
ShutdownSignals::Deadline stopDeadline;
std::chrono::milliseconds stopBound{5000};

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

ShutdownSignals::Deadline ShutdownSignals::BeginStop() {
    std::lock_guard lock(stopMutex);
    // Without a watch (a test's window) each stop has a bound of its own.
    if (watchPipe[0] < 0)
        return std::chrono::steady_clock::now() + stopBound;
    if (!stopBegun) {
        stopBegun = true;
        stopDeadline = std::chrono::steady_clock::now() + stopBound;
        if (watchPipe[1] >= 0) [[maybe_unused]]
            const ssize_t woken = ::write(watchPipe[1], "s", 1);
    }
    return stopDeadline;
}

void ShutdownSignals::WatchStop(std::chrono::milliseconds bound, std::function<void(Deadline)> onStop,
                                std::chrono::milliseconds lastWordsTime, std::function<void()> lastWords) {
    {
        std::lock_guard lock(stopMutex);
        if (watchPipe[0] >= 0 || ::pipe2(watchPipe, O_CLOEXEC) != 0)
            return;
        stopBound = bound;
    }
    std::thread([onStop = std::move(onStop), lastWordsTime, lastWords = std::move(lastWords)] {
        char byte = 0;
        while (::read(watchPipe[0], &byte, 1) < 0 && errno == EINTR) {
        }
        const Deadline deadline = BeginStop();
        if (onStop)
            onStop(deadline);
        std::this_thread::sleep_until(deadline - lastWordsTime);
        std::fprintf(stderr, "Halvex: the stop did not end within its bound; ending now\n");
        if (lastWords)
            lastWords();
        std::fflush(nullptr);
        std::_Exit(0);
    }).detach();
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
