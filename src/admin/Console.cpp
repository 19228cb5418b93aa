// The user, phone and contact lists are filled from the database; until the
// console's lists are built they stay empty.
#include "admin/Console.h"

namespace admin {

void Console::LoadUsers() {}

void Console::LoadUserPhones(const std::string&) {}

void Console::LoadContacts() {}

} // namespace admin
