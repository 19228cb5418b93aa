// What the client service needs of the rest of the program.
#pragma once

#include <string>

namespace platform {
class Event;
}
namespace ui {
class TListView;
}

namespace clients {

class ClientServiceHost {
  public:
    virtual ~ClientServiceHost() = default;
    // A text of the active language.
    virtual std::string Text(const char* key) const = 0;
    // The console's list of clients, one row per record.
    virtual ui::TListView& ClientListView() = 0;
    // Shows the number of client records on the status bar.
    virtual void ShowClientCount(int count) = 0;
    // The lock of the client handling (`event_obslugi`), taken before `event_bufor`.
    virtual platform::Event* ServiceLock() = 0;
};

} // namespace clients
