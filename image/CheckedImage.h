// The one loader of images, for the window and the command line alike: the file is read once
// and checked whole before anything is sent, and what is sent is built from what was checked.
// Nothing in an image may command the chip: a record that the boot loader would carry out as
// a command (an erase, a security bit, the boot vector, a read) is refused with its line, and
// so is anything that would put data somewhere else than where it says or cut the image short.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "image/HexBinList.h"

namespace kavel {

// HEX for names ending .hex or .ihx (the name SDCC gives its output), BIN for .bin, in any
// letter case; nothing for any other name.
std::optional<TImageFormat> FormatByName(std::string_view fileName);

// An image whose format neither its name nor its content tells.
class EImageFormatUnknown : public EImageError {
 public:
  using EImageError::EImageError;
};

// What a front end asks of an image beyond the checks every image passes.
struct TImageRules {
  // A name that ends in neither .hex, .ihx nor .bin is HEX when the file begins with an Intel
  // HEX record. Otherwise it is refused (EImageFormatUnknown), or, with this, a raw BIN image.
  bool otherNamesAreBin = false;
  // Refuse an image without a data byte: an empty BIN file, a HEX file of its end alone.
  bool requireData = true;
};
// The window: any name that is not HEX is a BIN image, and an image may be empty (it then
// sends the end record alone).
inline constexpr TImageRules kWindowImageRules{true, false};

// The records to program from the file, in format (nothing: by its name, else as the rules
// say). Regular files only.
//  - HEX (at most kMaxHexSize bytes), line by line; blank lines, and blanks and tabs around a
//    record, are left out; every other line is one well-formed record (":", hex digits of
//    either case, its count and checksum right; a NUL or any other byte is refused):
//      00 data, within 0000-FFFF; a byte that another record puts there too must be the same;
//      01 the end (no data): it must be there, and only blank lines may follow it;
//      02, 04 (two bytes): an upper address, taken when it is 0000 and refused as data above
//         64 KB otherwise; 03, 05 (four bytes): a start address, taken; neither is sent;
//      the 6-clock command :0300000306028072, sent as it stands;
//      anything else (the boot loader's write and read functions, its display and set-clock
//      records, other types) is refused, saying what it would make the chip do.
//  - BIN: at most 65536 bytes, converted as THexBinList::AddBin does.
// Throws EImageError (or one of its kinds) whose message names the file, the line where
// there is one, and what is wrong. fileBytes, when given, gets the file's bytes as they were
// read (for a hash of exactly what was checked).
THexBinList LoadCheckedImage(const std::string& fileName, std::optional<TImageFormat> format,
                             TImageRules rules = {}, std::string* fileBytes = nullptr);

// The check of HEX text alone (no data required), fileName only for the messages.
THexBinList CheckedHexRecords(const std::string& fileName, std::string_view text);

}  // namespace kavel
