// PostgreSQL connection strings as libpq takes them: a postgresql:// (or postgres://) URL, or
// a key/value string ("host=db-host dbname=production user=line password=..."). Their
// passwords never reach a message: neither in the string shown nor in what libpq says about
// it (a password with an '@' in it, or a broken percent-escape, ends up in libpq's words).
#pragma once

#include <string>

namespace kavel::station {

// The database named is on a PostgreSQL server: a URL of its schemes, or a key/value string
// (its first word is one of libpq's keys, followed by '=').
bool IsConninfo(const std::string& where);

// The message with every password the connection string holds (in its user information, as
// a password or sslpassword parameter of the URL's query, or as a key/value pair; as given
// and percent-decoded) replaced by "***". The connection string itself is shown by
// Masked(conninfo, conninfo).
std::string Masked(const std::string& message, const std::string& conninfo);

}  // namespace kavel::station
