// The process's one connection to the main database.
#pragma once

// True while the main database handle exists.
bool MainDbHandleExists();
