// Wakes the link thread out of its wait on the exchange's socket when there
// is work for it that the socket does not announce: a command was queued, the
// command in flight was answered, or the thread is asked to stop. Wakes
// coalesce: any number of them before the thread looks costs one pass.
#pragma once

namespace pbx {

class LinkWake {
  public:
    LinkWake();
    ~LinkWake();
    LinkWake(const LinkWake&) = delete;
    LinkWake& operator=(const LinkWake&) = delete;

    // Any thread.
    void Wake();
    // The link thread: the descriptor that reads ready while a wake is pending.
    int Descriptor() const { return fd_; }
    // The link thread, before it looks for work: pending wakes are taken.
    void Clear();

  private:
    int fd_ = -1;
};

} // namespace pbx
