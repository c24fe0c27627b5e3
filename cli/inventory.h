// The devices of a run listed in a file (upgrade --inventory FILE).
//
// One device a line, in either of two forms, mixed as one likes:
//   10.1.0.13  office, second floor      an address, then after a blank,
//   10.1.0.14# spare                     a tab or "#" anything at all;
//   {"address": "10.1.0.15", ...}        a JSON object with an "address"
//                                        string (what scan --json prints;
//                                        its other members are skipped).
// Blank lines and lines whose first non-blank is "#" are skipped.  A line
// that is neither form is refused with its number: nothing is guessed.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qvr::cli {

inline constexpr std::size_t max_inventory_bytes = 1024 * 1024;
inline constexpr std::size_t max_inventory_line = 16384;

// Appends the address of each device line of `text` to out, as written.
// name is the file's name for the reason, which is one line: "NAME line N:
// ...".  A line longer than max_inventory_line is refused.  A UTF-8 byte
// order mark before the first line and a CR before each line's end are
// skipped.  False with the reason at the first refused line; out then
// holds the lines before it.
bool parse_inventory(std::string_view text, std::string_view name, std::vector<std::string>& out,
                     std::string& error);

// Reads the file at path ("-": standard input, read to its end) and parses
// it as parse_inventory does.  False with the reason when it cannot be
// read, is larger than max_inventory_bytes, or holds a refused line.
bool read_inventory(const std::string& path, std::vector<std::string>& out, std::string& error);

// The devices of a run: the operands, then the inventory's, each device
// once, where it first appears.  Two texts are one device when both read
// as the same address (10.0.0.1 and 010.0.0.1); a text that reads as no
// address is compared as it is written (the run refuses it later).
std::vector<std::string> merged_devices(const std::vector<std::string>& operands,
                                        const std::vector<std::string>& inventory);

}  // namespace qvr::cli
