// Database error texts: the constant name of a status code and the message
// for a person.
#pragma once

#include <string>

// "isc_io_error" for 335544344; "brak opisu błędu" for an unknown code.
std::string IscStatusName(int code);
// The message for a person in the active language.
std::string GetDbErrorText(int code);
