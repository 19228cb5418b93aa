// What the administration console needs of the rest of the program, given to
// it at construction. Its lists are not filled from the database yet, so it
// needs nothing so far; what it comes to need is added here.
#pragma once

namespace admin {

class ConsoleHost {
  public:
    virtual ~ConsoleHost() = default;
};

} // namespace admin
