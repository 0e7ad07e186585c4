#include "cli/CliReport.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "image/HexText.h"

namespace kavel::cli {
namespace {

std::string Blocks(const TCliArgs& a) {
  std::string out;
  for (std::size_t b = 0; b < a.eraseBlocks.size(); ++b)
    if (a.eraseBlocks.test(b)) {
      if (!out.empty()) out += ' ';
      out += std::to_string(b);
    }
  return out;
}

std::string SizeText(const THexBinList* image) {
  if (!image) return {};
  return std::to_string(image->Count()) + " records (" + std::to_string(image->DataBytes()) + " bytes)";
}

const char* KindName(TStatusKind kind) {
  switch (kind) {
    case skOk: return "ok";
    case skUnconfirmed: return "unconfirmed";
    case skCancelled: return "cancelled";
    case skRefused: return "refused";
    case skNoAnswer: return "no_answer";
    case skBadReply: return "bad_reply";
    case skPortFailed: return "port_failed";
    case skStopped: return "stopped";
    case skBadImage: return "bad_image";
    case skMismatch: return "mismatch";
    case skOutputFailed: return "output_failed";
  }
  return "unknown";
}

// The length of the well-formed UTF-8 sequence that text starts with (at a byte past ASCII);
// 0 when it is none: a stray continuation byte, an overlong form, a surrogate, a code point
// past U+10FFFF, or a sequence cut short.
std::size_t Utf8Length(std::string_view text) {
  const auto at = [text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned lead = at(0);
  std::size_t length = 0;
  unsigned low = 0x80, high = 0xBF;  // the second byte's range; the lead byte narrows it
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // below: overlong
    if (lead == 0xED) high = 0x9F;  // above: surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // below: overlong
    if (lead == 0xF4) high = 0x8F;  // above: past U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length || at(1) < low || at(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if (at(i) < 0x80 || at(i) > 0xBF) return 0;
  return length;
}

// "Manufacturer id" -> "manufacturer_id".
std::string Key(std::string_view words) {
  std::string key;
  for (char c : words) key += c == ' ' ? '_' : static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return key;
}

}  // namespace

std::string Json(std::string_view text) {
  std::string out = "\"";
  const auto escape = [&out](unsigned byte) {
    char esc[8];
    std::snprintf(esc, sizeof esc, "\\u%04x", byte);
    out += esc;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const unsigned byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20) {
          escape(byte);
        } else if (byte < 0x80) {
          out += c;
        } else if (const std::size_t length = Utf8Length(text.substr(i)); length > 0) {
          out += text.substr(i, length);
          i += length - 1;
        } else {
          escape(byte);  // a byte of no character: as the character of its value
        }
    }
  }
  return out + "\"";
}

std::string RangeText(const TCliArgs& a) { return HexWord(a.rangeStart) + "-" + HexWord(a.rangeEnd); }

std::string ResultLine(const TRunFacts& f) {
  const TCliArgs& a = *f.args;
  const std::string& c = a.command;
  if (f.status.kind == skOutputFailed && f.work.kind != skOutputFailed) {
    TRunFacts done = f;
    done.status = f.work;
    const std::string line = ResultLine(done);
    return line.empty() ? std::string() : line + ", but " + f.status.detail;
  }
  if (!f.status.Ok()) return {};
  const bool sent = f.status.kind == skUnconfirmed;
  std::string done;
  if (c == "sync") {
    done = "synchronized at " + f.speed + " bit/s";
  } else if (c == "program") {
    if (sent) return "sent " + SizeText(f.image) + ", not confirmed";
    done = "programmed " + SizeText(f.image) + (f.verified ? ", verified" : ", not read back");
  } else if (c == "verify") {
    done = "verified " + std::to_string(f.verify.checked) + " bytes: the flash holds " + a.file;
  } else if (c == "read") {
    done = "read " + RangeText(a) + (f.fileWritten ? " into " + a.output : " from the chip");
  } else if (c == "erase") {
    done = a.eraseAll ? "erased the whole chip" : "erased blocks " + Blocks(a);
  } else if (c == "blank-check") {
    done = RangeText(a) + " is blank";
  } else if (c == "set-status0") {
    done = "set the status byte to 0";
  } else if (c == "security") {
    done = "set security bit " + std::to_string(a.securityBit);
  } else if (c == "six-clock") {
    done = "switched the chip to 6-clock mode";
  } else if (c == "suspend") {
    done = f.status.detail == "the controller was suspended already" ? "the communication controller was suspended already"
                                                                     : "suspended the communication controller";
  } else if (c == "cycle") {
    done = std::string(f.verified ? "programmed, verified and locked " : "programmed and locked ") + a.file + ": " +
           SizeText(f.image);
  }
  if (done.empty()) return {};
  return sent ? "sent, not confirmed: " + done : done;
}

std::string JsonObject(const TRunFacts& f) {
  const TCliArgs& a = *f.args;
  const std::string line = ResultLine(f);
  std::string o = "{";
  // Appends "key":value; value is JSON already.
  auto add = [&o](std::string_view key, const std::string& value) {
    if (o.size() > 1) o += ',';
    o += Json(key);
    o += ':';
    o += value;
  };
  add("command", Json(a.command));
  add("port", Json(f.port));
  add("result", Json(KindName(f.status.kind)));
  add("exit", std::to_string(f.exit));
  add("message", Json(line.empty() ? f.status.detail : line));
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f", f.seconds);
  add("seconds", seconds);
  if (!f.speed.empty()) add("speed", f.speed);
  if (!a.file.empty()) add("file", Json(a.file));
  if (f.image) {
    add("records", std::to_string(f.image->Count()));
    add("bytes", std::to_string(f.image->DataBytes()));
  }
  if (a.command == "program" || a.command == "cycle" || a.command == "verify") add("verified", f.verified ? "true" : "false");
  if (f.verify.differing > 0) {
    add("first_difference", Json(HexWord(f.verify.firstAddress)));
    add("written", Json(HexWord(f.verify.written).substr(2)));
    add("read", Json(HexWord(f.verify.read).substr(2)));
    add("differing", std::to_string(f.verify.differing));
  }
  if (a.command == "read" || a.command == "blank-check") add("range", Json(RangeText(a)));
  if (!a.output.empty()) add("output", Json(a.output));
  if (a.command == "erase" && !a.eraseAll) add("blocks", Json(Blocks(a)));
  if (f.status.index >= 0) add("index", std::to_string(f.status.index));
  for (const std::string& l : f.statusLines) {
    const std::size_t colon = l.find(": ");
    if (colon != std::string::npos) add(Key(l.substr(0, colon)), Json(l.substr(colon + 2)));
  }
  o += '}';
  return o;
}

std::string PortErrorReason(int err, bool comName) {
  switch (err) {
    case ENOENT: return comName ? "no such device in the port directory or /dev" : "no such device";
    case EBUSY: return "another program is using the port";
    case EACCES:
    case EPERM:
      return "you may not use the port: add yourself to its group (usually dialout) with "
             "sudo usermod -aG dialout $USER, then log in again";
    case ENOTTY: return "it is not a serial port";
    case EIO:
    case ENXIO:
    case ENODEV: return "the device does not answer: is the adapter plugged in?";
    default: return std::strerror(err);
  }
}

std::string ExplainRefusal(const TRunFacts& f) {
  const TCliArgs& a = *f.args;
  const TIspStatus& s = f.status;
  if (s.index < 0 || (s.kind != skRefused && s.kind != skNoAnswer)) return {};
  if (a.command == "erase" && !a.eraseAll) {
    if (s.reply != rcNotAllowed) return {};
    return "the chip refused to erase block " + std::to_string(s.index) +
           "; a set security bit 1 forbids it: erase the whole chip (erase all, or cycle)";
  }
  if ((a.command != "program" && a.command != "cycle") || !f.image ||
      static_cast<std::size_t>(s.index) >= f.image->Count())
    return {};
  const TImageRecord& r = f.image->Record(static_cast<std::size_t>(s.index));
  std::string what = "record " + std::to_string(s.index) + " of the image";
  if (r.line > 0) what += ", line " + std::to_string(r.line) + " of the file";
  if (r.IsData()) what = "the record for " + HexWord(r.address) + "-" + HexWord(r.LastAddress()) + " (" + what + ")";
  switch (s.reply) {
    case rcNotAllowed:
      return "the chip refused " + what + "; a set security bit 1 forbids programming: erase the chip first";
    case rcCrcError:
      return "the chip took " + what + " for damaged (checksum): check the cable and the line speed";
    default:
      return "the chip did not answer " + what + ": check the jumper, the reset and the cable";
  }
}

}  // namespace kavel::cli
