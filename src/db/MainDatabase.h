// The process's one connection to the main database, as the shell sees it.
#pragma once

#include "db/SessionDB.h"

// Connects the database access to the main window and the progress window
// (texts, database state, reconnect timer, the attach wait). Idempotent.
void InstallDatabaseHooks();
