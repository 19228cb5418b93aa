// The user, phone and contact lists are filled from the database; until the
// console's lists are built they stay empty.
#include "shell/MainForm.h"

void TForm1::LoadUsers() {}

void TForm1::LoadUserPhones(const std::string&) {}

void TForm1::LoadContacts() {}
