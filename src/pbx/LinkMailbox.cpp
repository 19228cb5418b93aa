#include "pbx/LinkMailbox.h"

namespace pbx {

LinkMailbox::LinkMailbox(TForm1* form) : form_(form) {
    // Pending deliveries die with the mailbox.
    connect(this, &LinkMailbox::arrived, this, &LinkMailbox::deliver, Qt::QueuedConnection);
}

void LinkMailbox::Post(std::function<void(TForm1*)> call) {
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
    std::deque<std::function<void(TForm1*)>> calls;
    {
        std::lock_guard lock(mutex_);
        calls.swap(calls_);
    }
    for (auto& call : calls)
        call(form_);
}

} // namespace pbx
