// Ports for tests that run beside other work: a port found free is not a port
// kept free, so a test either holds what it found or lets the program under
// test choose and reads back what it bound.
#pragma once

#include <functional>

class TForm1;

namespace testing_support {

// A UDP port chosen by the system and held for this object's life. It is
// bound with address and port reuse, as the simulated clients bind theirs,
// so they can share it; broadcasts to it reach every socket bound there.
class HeldUdpPort {
  public:
    HeldUdpPort();
    ~HeldUdpPort();
    HeldUdpPort(const HeldUdpPort&) = delete;
    HeldUdpPort& operator=(const HeldUdpPort&) = delete;
    // 0 when nothing could be bound.
    int Port() const { return port_; }

  private:
    int fd_ = -1;
    int port_ = 0;
};

// For a program that must be given a port number before it binds: `open`
// tries one that was free a moment ago and says whether it is now listening
// there. Another process may take the port in between, so a few are tried.
// The port opened, or 0.
int OpenOnFreePort(const std::function<bool(int port)>& open);

// Switches the form's client service on with the port set to 0, so that it
// listens where the system lets it, then sets the port it bound in the
// form's settings for the tests to connect to.
void OpenClientServiceOnChosenPort(TForm1& form);

} // namespace testing_support
