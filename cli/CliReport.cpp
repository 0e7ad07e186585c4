#include "cli/CliReport.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <charconv>
#include <cstring>

#include <nlohmann/json.hpp>

#include "cli/CliCommandTable.h"
#include "cli/CliProcess.h"
#include "image/HexText.h"
#include "link/WireText.h"

namespace kavel::cli {

namespace {
// A JSON object keeps its keys in the order they were set.
using TJson = nlohmann::ordered_json;
}  // namespace

std::string SizeText(const THexBinList* image) {
  if (!image) return {};
  return std::to_string(image->Count()) + " records (" + std::to_string(image->DataBytes()) + " bytes)";
}

std::string ResentText(const TRunFacts& f) {
  if (f.resent == 0) return {};
  return ", " + std::to_string(f.resent) + (f.resent == 1 ? " record" : " records") + " sent again";
}

std::string SentOr(const TRunFacts& f, std::string done) {
  return f.status.kind == rkUnconfirmed ? "sent, not confirmed: " + done : done;
}

namespace {

// "Manufacturer id" -> "manufacturer_id".
std::string Key(std::string_view words) {
  std::string key;
  for (char c : words) key += c == ' ' ? '_' : static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return key;
}

}  // namespace

const char* ResultClass(const TRunFacts& f) {
  if (f.endUnknown) return station::TRunRow::kBoard;
  switch (f.status.kind) {
    case rkBadImage:
    case rkStationFailed:
    case rkUsage: return station::TRunRow::kStation;
    case rkPortFailed:
    case rkCancelled:
    case rkStopped:
    case rkOutputFailed:
    case rkInternal:
      return f.speed || f.deviceId || f.chipAnswered ? station::TRunRow::kBoard : station::TRunRow::kStation;
    case rkOk:
    case rkUnconfirmed:
    case rkRefused:
    case rkNoAnswer:
    case rkBadReply:
    case rkMismatch: break;
  }
  return station::TRunRow::kBoard;
}

const char* KindName(TRunKind kind) {
  switch (kind) {
    case rkOk: return "ok";
    case rkUnconfirmed: return "unconfirmed";
    case rkCancelled: return "cancelled";
    case rkRefused: return "refused";
    case rkNoAnswer: return "no_answer";
    case rkBadReply: return "bad_reply";
    case rkPortFailed: return "port_failed";
    case rkStopped: return "stopped";
    case rkBadImage: return "bad_image";
    case rkMismatch: return "mismatch";
    case rkOutputFailed: return "output_failed";
    case rkUsage: return "usage";
    case rkStationFailed: return "station_failed";
    case rkInternal: return "internal_error";
  }
  return "unknown";
}

std::vector<std::string> ResultNames() {
  static_assert(rkInternal == TRunKind(13), "every kind up to the last, rkInternal");
  std::vector<std::string> names;
  for (int kind = 0; kind <= static_cast<int>(rkInternal); ++kind) names.emplace_back(KindName(static_cast<TRunKind>(kind)));
  names.emplace_back(station::TRunRow::kUnfinished);
  return names;
}

std::string JsonText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = Utf8Length(text.substr(i));
    if (length > 0) {
      out += text.substr(i, length);
      i += length;
    } else {  // a byte of no character: the character of its value, U+0080 to U+00FF (or ASCII)
      const auto byte = static_cast<unsigned char>(text[i++]);
      if (byte < 0x80) {
        out += static_cast<char>(byte);
      } else {
        out += static_cast<char>(0xC0 | (byte >> 6));
        out += static_cast<char>(0x80 | (byte & 0x3F));
      }
    }
  }
  return out;
}

std::string Json(std::string_view text) { return TJson(JsonText(text)).dump(); }

std::string RangeText(const TCliArgs& a) { return HexWord(a.rangeStart) + "-" + HexWord(a.rangeEnd); }

std::string ResultLine(const TRunFacts& f) {
  if (f.status.kind == rkOutputFailed && f.work.kind != rkOutputFailed) {
    TRunFacts done = f;
    done.status = f.work;
    const std::string line = ResultLine(done);
    return line.empty() ? std::string() : line + ", but " + f.status.detail;
  }
  if (!f.status.Ok()) return {};
  const auto done = CommandInfo(f.args->id).done;
  std::string line = done ? done(f) : std::string();
  // The board's number, for its label.
  if (!line.empty() && f.serial) {
    const auto number = static_cast<std::uint64_t>(*f.serial);
    line += ", serial " + (f.args->serialPlace ? station::SerialText(number, *f.args->serialPlace) : std::to_string(number)) +
            (f.serialKept ? " (kept)" : "");
  }
  return line;
}

std::string Reason(const TRunFacts& f) {
  if (std::string line = ResultLine(f); !line.empty()) return line;
  const std::vector<std::string> why = Explain(f);
  return !why.empty() ? why.front() : f.status.detail;
}

std::string JsonObject(const TRunFacts& f) {
  const TCliArgs& a = *f.args;
  const auto text = [](std::string_view t) { return TJson(JsonText(t)); };
  const auto textOrNull = [&text](const std::string& t) { return t.empty() ? TJson(nullptr) : text(t); };
  TJson o;
  o["schema"] = kJsonSchema;
  o["command"] = textOrNull(a.command);
  o["port"] = textOrNull(f.port);
  o["result"] = KindName(f.status.kind);
  o["exit"] = f.exit;
  if (f.serial) o["serial"] = *f.serial;
  if (f.serialKept) o["serial_kept"] = true;
  if (!f.logged.empty()) o["logged"] = f.logged;
  o["message"] = text(Reason(f));
  o["class"] = ResultClass(f);
  TJson diagnosis = TJson::array();
  for (const std::string& line : Explain(f)) diagnosis.push_back(text(line));
  o["diagnosis"] = std::move(diagnosis);
  o["seconds"] = std::round(f.seconds * 1000) / 1000;  // to the millisecond
  if (f.speed) {
    long bits = 0;
    const auto [end, error] = std::from_chars(f.speed->data(), f.speed->data() + f.speed->size(), bits);
    o["speed"] = error == std::errc() && end == f.speed->data() + f.speed->size() ? TJson(bits) : text(*f.speed);
  } else {
    o["speed"] = nullptr;
  }
  if (!a.file.empty()) o["file"] = text(a.file);
  if (f.image) {
    o["records"] = f.image->Count();
    o["bytes"] = f.image->DataBytes();
  }
  const TCommandInfo& command = CommandInfo(a.id);
  if (command.verifies) o["verified"] = f.verified;
  if (command.resends) o["resent"] = f.resent;
  if (f.verify.differing > 0) {
    o["first_difference"] = HexWord(f.verify.firstAddress);
    o["written"] = HexText(f.verify.written, 2);
    o["read"] = HexText(f.verify.read, 2);
    o["differing"] = f.verify.differing;
  }
  if (command.range) o["range"] = RangeText(a);
  if (!f.blankAt.empty()) o["not_blank_at"] = text(f.blankAt);
  if (!a.output.empty()) o["output"] = text(a.output);
  if (f.blocksErased.any()) o["blocks_erased"] = BlockList(f.blocksErased);
  if (f.status.index >= 0) o["index"] = f.status.index;
  for (const auto& [key, value] : f.values) o[Key(key)] = text(value);
  if (command.controller) o["controller_suspended"] = f.controllerSuspended;
  return o.dump();
}

std::string PortErrorReason(int err, bool comName) {
  switch (err) {
    case ENOENT:
      return std::string("no such device") + (comName ? " in the port directory or /dev" : "") +
             "; kavel-isp-cli ports lists the ports present";
    case EBUSY: return "another program is using it";
    case EACCES:
    case EPERM:
      return "you may not use it: add yourself to its group (usually dialout) with sudo usermod -aG dialout $USER, "
             "then log in again";
    case ENOTTY: return "it is not a serial port";
    case EINVAL: return "it is neither a COM name nor a device path";
    case EIO:
    case ENXIO:
    case ENODEV: return "the device does not answer: is the adapter plugged in?";
    case ECONNRESET: return "the server closed the connection";
    case EHOSTUNREACH: return "the host cannot be reached (an unknown name, or no route to it)";
    default: return std::strerror(err);
  }
}

}  // namespace kavel::cli
