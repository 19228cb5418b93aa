#include "pbx/LinkMailbox.h"

#include <QPointer>

namespace pbx {

LinkMailbox::LinkMailbox() {
    // Pending deliveries die with the mailbox.
    connect(this, &LinkMailbox::arrived, this, &LinkMailbox::deliver, Qt::QueuedConnection);
}

void LinkMailbox::Post(std::function<void()> call) {
    bool wasEmpty = false;
    {
        std::lock_guard lock(mutex_);
        wasEmpty = calls_.empty();
        calls_.push_back(std::move(call));
    }
    if (wasEmpty)
        emit arrived();
}

void LinkMailbox::deliver() {
    std::deque<std::function<void()>> calls;
    {
        std::lock_guard lock(mutex_);
        calls.swap(calls_);
    }
    // A call may end the link run that owns this mailbox.
    QPointer<LinkMailbox> alive(this);
    for (auto& call : calls) {
        if (!alive)
            return;
        call();
    }
}

} // namespace pbx
