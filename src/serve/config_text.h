#pragma once

#include <string>
#include <string_view>

namespace mero::serve {

// One line of the configuration file as written, before any key gives it a meaning.
struct IniLine {
  enum class Kind { Blank, Section, Entry, Mistake };
  Kind kind = Kind::Blank;
  std::string name = {};   // the section's or the key's
  std::string value = {};  // an entry's value, its quotes and escapes undone; or the mistake
};

// Reads one line, without its end of line. Blanks are spaces and tabs; a comment starts at a
// line's first non-blank ';' or '#', or at one with a blank before it. A value that starts
// with a double quote is quoted as a whole, with \" and \\ as its only escapes; a double quote
// elsewhere is an ordinary character.
IniLine ReadIniLine(std::string_view line);

// The value as a file writes it: in quotes only when it would not read back as itself.
std::string QuotedIfNeeded(std::string_view value);

}  // namespace mero::serve
