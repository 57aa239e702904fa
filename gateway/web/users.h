// The status page's logins: a users file of `NAME:pbkdf2-sha256$ITERATIONS$SALT$HASH`
// lines (salt and hash in hex, a random salt per user), made by
// `tiway-gateway --add-web-user NAME --users FILE`; checked with HTTP Basic
// over TLS only.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace gateway::web {

// A stored form of the password, with a fresh random salt.
std::string HashPassword(const std::string& password);
bool VerifyPassword(const std::string& stored, const std::string& password);

// name -> stored form; nullopt and `error` when the file cannot be read or a
// line is not NAME:HASH.
std::optional<std::map<std::string, std::string>> LoadUsers(const std::string& path,
                                                            std::string& error);

// Adds or replaces NAME in FILE (created with mode 0600), the password read
// from standard input (without echo on a terminal): the process's exit code.
int AddUser(const std::string& path, const std::string& name);

}  // namespace gateway::web
