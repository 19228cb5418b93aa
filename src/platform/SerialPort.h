// A serial port on POSIX termios, in the manner the exchange link needs it:
// exclusive open of an existing device, raw 8N1 at a given speed, a total
// read time-out, purge, DTR and RTS. Reads wait in short slices so that a
// stop request is honoured at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

namespace platform {

class SerialPort {
  public:
    SerialPort() = default;
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // False with `lastError()` set when the device cannot be opened.
    bool Open(const std::string& devicePath);
    // False when the descriptor could not be closed (it stays open).
    bool Close();
    bool IsOpen() const { return fd_ >= 0; }

    enum class ConfigureResult { Done, SettingsUnreadable, SettingsRefused };
    // Raw bytes, 8 data bits, no parity, one stop bit, no flow control.
    ConfigureResult Configure(int baud);
    // Both fail harmlessly on devices without modem lines (pseudo-terminals).
    bool SetDtr(bool on);
    bool SetRts(bool on);
    // The longest a read waits for all the bytes it asks for.
    void SetReadTimeout(int ms) { readTimeoutMs_ = ms; }
    // Drops whatever waits in either direction.
    bool Purge();

    // Waits until bytes can be read or `wakeFd` reads ready, `ms` at most,
    // in one sleep; true when bytes are there.
    bool WaitReadable(int ms, int wakeFd);
    // Reads up to `count` bytes, returning when all came, the read time-out
    // passed or `abort` was set; -1 on a failure of the device.
    long Read(char* buffer, std::size_t count, const std::atomic<bool>* abort = nullptr);
    // Writes the bytes, waiting at most `timeoutMs` for room; returns how
    // many went out, -1 on a failure.
    long Write(const char* data, std::size_t count, const std::atomic<bool>* abort = nullptr,
               int timeoutMs = 5000);

    int lastError() const { return lastError_; }

  private:
    int fd_ = -1;
    int readTimeoutMs_ = 10000;
    int lastError_ = 0;
};

} // namespace platform
