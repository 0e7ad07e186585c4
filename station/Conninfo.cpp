#include "station/Conninfo.h"

#include <libpq-fe.h>

#include <algorithm>
#include <memory>
#include <string_view>
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

// What a message must not show: whole passwords, replaced wherever they stand, and the parts
// libpq may take a password apart into (a host, a port, a path), replaced where they stand
// as words of their own.
struct TSecrets {
  std::vector<std::string> whole, parts;
};

void Add(std::vector<std::string>& secrets, const std::string& value) {
  if (value.empty()) return;
  secrets.push_back(value);
  if (const std::string decoded = Decoded(value); decoded != value) secrets.push_back(decoded);
}

// The password and sslpassword values of a URL's query (params: what follows its '?').
void QuerySecrets(const std::string& params, TSecrets& secrets) {
  for (std::size_t start = 0; start <= params.size();) {
    std::size_t end = params.find('&', start);
    if (end == std::string::npos) end = params.size();
    const std::string param = params.substr(start, end - start);
    if (const std::size_t eq = param.find('='); eq != std::string::npos && SecretKey(Decoded(param.substr(0, eq))))
      Add(secrets.whole, param.substr(eq + 1));
    start = end + 1;
  }
}

// The URL's passwords. Its user information's, when a ':' stands before its first '@': from
// there to the last '@', whatever lies between (libpq stops at the first '@' or '/' and
// takes what follows for the host, the port or the path, so each part of it counts too). And
// its query's, wherever the query begins: at the first '?', or at the first after the last
// '@' (a '?' may stand in a password).
void UrlSecrets(const std::string& url, std::size_t from, TSecrets& secrets) {
  const std::size_t firstAt = url.find('@', from), lastAt = url.rfind('@');
  const std::size_t colon = url.find(':', from);
  if (firstAt != std::string::npos && colon < firstAt) {
    const std::string password = url.substr(colon + 1, lastAt - colon - 1);
    Add(secrets.whole, password);
    std::size_t start = 0;
    for (std::size_t k = 0; k <= password.size(); ++k) {
      if (k < password.size() && std::string_view("@/?:").find(password[k]) == std::string_view::npos) continue;
      if (k > start) Add(secrets.parts, password.substr(start, k - start));
      start = k + 1;
    }
  }
  for (const std::size_t mark : {url.find('?', from), url.find('?', firstAt == std::string::npos ? from : lastAt)})
    if (mark != std::string::npos) QuerySecrets(url.substr(mark + 1), secrets);
}

// A key/value string's passwords: as written (quoted or not) and with its escapes undone.
void KeyValueSecrets(const std::string& text, TSecrets& secrets) {
  const auto space = [&text](std::size_t i) { return i < text.size() && std::isspace(static_cast<unsigned char>(text[i])); };
  std::size_t i = 0;
  while (i < text.size()) {
    while (space(i)) ++i;
    const std::size_t keyStart = i;
    while (i < text.size() && text[i] != '=' && !space(i)) ++i;
    const std::string key = text.substr(keyStart, i - keyStart);
    while (space(i)) ++i;
    if (i >= text.size() || text[i] != '=') {
      if (key.empty()) ++i;  // a lone character that ends no key; a bare word is passed whole
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
      Add(secrets.whole, text.substr(valueStart, i - valueStart));
      Add(secrets.whole, value);
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
  TSecrets secrets;
  if (const std::size_t from = UrlStart(conninfo); from != 0) {
    UrlSecrets(conninfo, from, secrets);
  } else {
    KeyValueSecrets(conninfo, secrets);
  }
  // The longest first: a part of a password is not left beside its mask.
  const auto longestFirst = [](const auto& a, const auto& b) { return a.size() > b.size(); };
  std::sort(secrets.whole.begin(), secrets.whole.end(), longestFirst);
  std::sort(secrets.parts.begin(), secrets.parts.end(), longestFirst);
  std::string text = message;
  const auto word = [&text](std::size_t at) { return at < text.size() && std::isalnum(static_cast<unsigned char>(text[at])); };
  for (const bool whole : {true, false}) {
    for (const std::string& secret : whole ? secrets.whole : secrets.parts) {
      for (std::size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 1)) {
        if (!whole && ((at > 0 && word(at - 1)) || word(at + secret.size()))) continue;
        text.replace(at, secret.size(), "***");
        at += 2;
      }
    }
  }
  return text;
}

}  // namespace kavel::station
