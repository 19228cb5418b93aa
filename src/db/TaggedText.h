// Texts that must not be swapped for one another in a call: each kind is a
// type of its own, made explicitly.
#pragma once

#include <string>

template <class Tag> struct TaggedText {
    explicit TaggedText(std::string text) : value(std::move(text)) {}
    std::string value;
};
