// The administration console: the user, phone and contact lists of the main
// window's pages.
// Holds: LoadUsers, LoadUserPhones, LoadContacts.
#pragma once

#include "admin/ConsoleHost.h"

#include <string>

namespace admin {

class Console {
  public:
    explicit Console(ConsoleHost& host) : host_(host) {}
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // Reloads the user list and the phone lists.
    void LoadUsers();
    // Fills the phone list with that user's phones; "" leaves it empty.
    void LoadUserPhones(const std::string& userId);
    // Reloads the shared contacts and their groups.
    void LoadContacts();

  private:
    [[maybe_unused]] ConsoleHost& host_;
};

} // namespace admin
