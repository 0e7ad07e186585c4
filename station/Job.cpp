#include "station/Job.h"

#include <string_view>

#include <toml++/toml.h>

#include "station/Conninfo.h"
#include "station/InputFile.h"

namespace kavel::station {
namespace {

enum class TKeyType : std::uint8_t { ktText, ktWhole, ktTruth, ktTexts };

struct TKey {
  std::string_view name;
  TKeyType type;
};

using enum TKeyType;
const TKey kKeys[] = {
    {"operation", ktText},
    {"image", ktText},
    {"sha256", ktText},
    {"ports", ktTexts},
    {"baud", ktWhole},
    {"delay", ktWhole},
    {"retries", ktWhole},
    {"controller", ktText},
    {"boot-entry", ktText},
    {"invert-dtr", ktTruth},
    {"invert-rts", ktTruth},
    {"run-after", ktTruth},
    {"six-clock", ktTruth},
    {"expect-device", ktText},
    {"serial", ktText},
    {"serial-name", ktText},
    {"serial-first", ktWhole},
    {"serial-step", ktWhole},
    {"serial-list", ktText},
    {"serial-keep", ktTruth},
    {"db", ktText},
    {"station", ktText},
    {"operator", ktText},
    {"lot", ktText},
};

constexpr std::string_view kTypeWords[] = {"a text in quotes", "a whole number", "true or false",
                                           "a list of texts in quotes"};

// A file the job names: beside the job file unless a path says otherwise.
std::string Beside(const std::string& job, const std::string& file) {
  const std::size_t slash = job.rfind('/');
  return file[0] == '/' || slash == std::string::npos ? file : job.substr(0, slash + 1) + file;
}

TStationStatus Bad(const std::string& where, std::string_view key, const std::string& what) {
  std::string text = where;
  text.append(": ").append(key).append(": ").append(what);
  return TStationStatus::Make(ssBadJob, text);
}

}  // namespace

TStationStatus LoadJob(const std::string& path, TJob& job) {
  job = {};
  job.path = path;
  std::string text;
  if (const std::string why = ReadInputFile(path, kMaxJobBytes, text); !why.empty())
    return TStationStatus::Make(ssBadJob, "the job " + path + " " + why);
  toml::table root;
  try {
    root = toml::parse(text, path);
  } catch (const toml::parse_error& e) {
    return TStationStatus::Make(ssBadJob, path + ":" + std::to_string(e.source().begin.line) + ": not TOML: " +
                                              std::string(e.description()));
  }
  const auto lineOf = [&path](const toml::node& node) { return path + ":" + std::to_string(node.source().begin.line); };
  for (const auto& [name, node] : root) {
    const TKey* key = nullptr;
    for (const TKey& k : kKeys)
      if (k.name == name.str()) key = &k;
    const std::string where = path + ":" + std::to_string(name.source().begin.line);
    if (!key) return Bad(where, name.str(), "no such key");
    std::vector<std::string> values;
    bool typed = false;
    switch (key->type) {
      case ktText:
        if (const auto* v = node.as_string()) typed = true, values.push_back(v->get());
        break;
      case ktWhole:
        if (const auto* v = node.as_integer()) typed = true, values.push_back(std::to_string(v->get()));
        break;
      case ktTruth:
        if (const auto* v = node.as_boolean()) typed = true, values.push_back(v->get() ? "true" : "false");
        break;
      case ktTexts:
        if (const auto* list = node.as_array()) {
          typed = !list->empty();
          for (const toml::node& item : *list) {
            if (!item.is_string()) typed = false;
            else values.push_back(item.as_string()->get());
          }
        }
        break;
    }
    if (!typed) return Bad(where, key->name, "needs " + std::string(kTypeWords[static_cast<int>(key->type)]));
    const int line = static_cast<int>(node.source().begin.line);
    if (key->name == "operation") {
      if (values[0] != "cycle" && values[0] != "program") return Bad(lineOf(node), key->name, "cycle or program");
      job.operation = values[0];
    } else if (key->name == "image" || key->name == "serial-list") {
      if (values[0].empty()) return Bad(lineOf(node), key->name, "needs a file's name");
      const std::string file = Beside(path, values[0]);
      if (key->name == "image") job.image = file;
      else job.keys.push_back({std::string(key->name), {file}, line});
    } else if (key->name == "db") {
      // An SQLite file as the image; a server's connection string as it stands, and a value
      // that is no database (none, an option) left for the command line to refuse.
      const bool file = !IsConninfo(values[0]) && !values[0].empty() && !values[0].starts_with('-');
      job.keys.push_back({std::string(key->name), {file ? Beside(path, values[0]) : values[0]}, line});
    } else if (key->name == "sha256") {
      if (values[0].size() != 64 || values[0].find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return Bad(lineOf(node), key->name, "needs the image's SHA-256: 64 hexadecimal digits");
      for (char c : values[0]) job.sha256 += static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
      job.keys.push_back({std::string(key->name), {job.sha256}, line});
    } else {
      if (key->type == ktTexts) job.ports = values;
      job.keys.push_back({std::string(key->name), std::move(values), line});
    }
  }
  for (const std::string_view required : {"operation", "image", "sha256", "ports"}) {
    if (!root.contains(required)) return TStationStatus::Make(ssBadJob, path + ": " + std::string(required) + " is missing");
  }
  return TStationStatus::Done();
}

}  // namespace kavel::station
