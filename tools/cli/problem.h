// How tiway says something went wrong: every check, parse and file read
// returns a Problem, nullopt when all is well, else the sentence to show
// (the rule broken, in the user's words). What it produces goes through an
// out-parameter.
//
// One convention instead of three ("" on success, a result struct with an
// error field, optional<string>): an empty string is a poor "no error" (a
// message built from an empty part would pass as success), a struct per
// function repeats the same field; an optional says "none" by itself, and
// `if (Problem p = Check(...))` reads as what it is.
#pragma once

#include <optional>
#include <string>

namespace tiway {

using Problem = std::optional<std::string>;

}  // namespace tiway
