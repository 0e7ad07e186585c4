#include "station/Conninfo.h"

#include <libpq-fe.h>

#include <algorithm>
#include <memory>
#include <cctype>
#include <vector>

namespace kavel::station {
namespace {

bool SecretKey(const std::string& key) { return key == "password" || key == "sslpassword"; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Percent-escapes decoded; a broken one is kept as it stands.
std::string Decoded(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const int high = i + 2 < text.size() && text[i] == '%' ? HexValue(text[i + 1]) : -1;
    const int low = high >= 0 ? HexValue(text[i + 2]) : -1;
    if (low >= 0) {
      out += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

void Add(std::vector<std::string>& secrets, const std::string& value) {
  if (value.empty()) return;
  secrets.push_back(value);
  if (const std::string decoded = Decoded(value); decoded != value) secrets.push_back(decoded);
}

// The URL's passwords: its user information's (from the user's ':' to the last '@' before
// the path: libpq stops at the first '@', and takes what follows it for the host, so each
// part after an '@' is one too), and its query's.
void UrlSecrets(const std::string& url, std::size_t from, std::vector<std::string>& secrets) {
  const std::size_t slash = url.find('/', from);
  const std::string authority = url.substr(from, slash == std::string::npos ? std::string::npos : slash - from);
  std::size_t query = from;
  if (const std::size_t at = authority.rfind('@'); at != std::string::npos) {
    if (const std::size_t colon = authority.find(':'); colon < at) {
      const std::string password = authority.substr(colon + 1, at - colon - 1);
      Add(secrets, password);
      for (std::size_t p = password.find('@'); p != std::string::npos; p = password.find('@', p + 1))
        Add(secrets, password.substr(p + 1));
    }
    query = from + at + 1;
  }
  const std::size_t mark = url.find('?', query);
  if (mark == std::string::npos) return;
  const std::string params = url.substr(mark + 1);
  for (std::size_t start = 0; start <= params.size();) {
    std::size_t end = params.find('&', start);
    if (end == std::string::npos) end = params.size();
    const std::string param = params.substr(start, end - start);
    if (const std::size_t eq = param.find('='); eq != std::string::npos && SecretKey(Decoded(param.substr(0, eq))))
      Add(secrets, param.substr(eq + 1));
    start = end + 1;
  }
}

// A key/value string's passwords: as written (quoted or not) and with its escapes undone.
void KeyValueSecrets(const std::string& text, std::vector<std::string>& secrets) {
  const auto space = [&text](std::size_t i) { return i < text.size() && std::isspace(static_cast<unsigned char>(text[i])); };
  std::size_t i = 0;
  while (i < text.size()) {
    while (space(i)) ++i;
    const std::size_t keyStart = i;
    while (i < text.size() && text[i] != '=' && !space(i)) ++i;
    const std::string key = text.substr(keyStart, i - keyStart);
    while (space(i)) ++i;
    if (i >= text.size() || text[i] != '=') {
      ++i;
      continue;
    }
    ++i;
    while (space(i)) ++i;
    const std::size_t valueStart = i;
    std::string value;
    const bool quoted = i < text.size() && text[i] == '\'';
    if (quoted) ++i;
    for (; i < text.size(); ++i) {
      if (quoted ? text[i] == '\'' : space(i)) break;
      if (text[i] == '\\' && i + 1 < text.size()) ++i;
      value += text[i];
    }
    if (quoted && i < text.size()) ++i;
    if (SecretKey(key)) {
      Add(secrets, text.substr(valueStart, i - valueStart));
      Add(secrets, value);
    }
  }
}

std::size_t UrlStart(const std::string& where) {
  for (const char* scheme : {"postgresql://", "postgres://"})
    if (where.rfind(scheme, 0) == 0) return std::char_traits<char>::length(scheme);
  return 0;
}

}  // namespace

bool IsConninfo(const std::string& where) {
  if (UrlStart(where) != 0) return true;
  std::size_t i = 0;
  while (i < where.size() && std::isspace(static_cast<unsigned char>(where[i]))) ++i;
  const std::size_t key = i;
  while (i < where.size() && (std::islower(static_cast<unsigned char>(where[i])) || where[i] == '_')) ++i;
  const std::string word = where.substr(key, i - key);
  while (i < where.size() && std::isspace(static_cast<unsigned char>(where[i]))) ++i;
  if (word.empty() || i >= where.size() || where[i] != '=') return false;
  // One of libpq's own keys: a file named "lot=7.db" stays a file.
  const std::unique_ptr<PQconninfoOption, void (*)(PQconninfoOption*)> options(PQconndefaults(), &PQconninfoFree);
  for (const PQconninfoOption* o = options.get(); o && o->keyword; ++o)
    if (word == o->keyword) return true;
  return false;
}

std::string Masked(const std::string& message, const std::string& conninfo) {
  std::vector<std::string> secrets;
  if (const std::size_t from = UrlStart(conninfo); from != 0) {
    UrlSecrets(conninfo, from, secrets);
  } else {
    KeyValueSecrets(conninfo, secrets);
  }
  // The longest first: a part of a password is not left beside its mask.
  std::sort(secrets.begin(), secrets.end(), [](const auto& a, const auto& b) { return a.size() > b.size(); });
  std::string text = message;
  for (const std::string& secret : secrets) {
    for (std::size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 3))
      text.replace(at, secret.size(), "***");
  }
  return text;
}

}  // namespace kavel::station
