// The image as the command line programs it: loaded once, checked whole before anything is
// sent, and then sent exactly as checked. Stricter than THexBinList's loaders, which take a
// HEX file's lines as they stand and leave every check to the chip.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "image/HexBinList.h"

namespace kavel {

enum class TImageFormat : std::uint8_t { ifHex, ifBin };

// HEX for names ending .hex or .ihx (the name SDCC gives its output), BIN for .bin, in any
// letter case; nothing for any other name.
std::optional<TImageFormat> FormatByName(std::string_view fileName);

// An image whose format neither its name nor its content tells.
class EImageFormatUnknown : public EImageError {
 public:
  using EImageError::EImageError;
};

// The records to program from the file, in format (nothing: by its name, else HEX when its
// first line is an Intel HEX record, else EImageFormatUnknown). Regular files only.
//  - HEX (at most kMaxHexSize bytes): every line that is not blank is a well-formed record
//    (no other byte, NUL included, anywhere in the file); the last record is the end-of-file
//    record; at least one data record holds a byte. Blank lines (and so LF CR line ends)
//    are left out; the other lines are kept as they stand.
//  - BIN: 1 to 65536 bytes, converted as THexBinList::AddBinRecords does.
// Throws EImageError (or one of its kinds) whose message names the file, the line where
// there is one, and what is wrong.
THexBinList LoadCheckedImage(const std::string& fileName, std::optional<TImageFormat> format);

// The check of HEX text alone, fileName only for the messages.
THexBinList CheckedHexRecords(const std::string& fileName, std::string_view text);

}  // namespace kavel
