// The lead lines of the blocks read, and the numbers on them.
//
// Each lead line is kept as text and, as it is added, its numbers are
// parsed (std::from_chars, round to nearest; a leading '+' allowed) for two
// uses:
//
// The time of the line: the first whitespace-separated word of the line
// that is a whole number.  A line may have none.
//
// Its quantities, every number on the line, each with a name.  For these,
// a word is also cut after each '=' ("DT=1.0E-04" is "DT=" and "1.0E-04").
// A piece that ends with '=' or is not a number is a label, named without
// its trailing '='s; a bare "=" has no name and is passed over.  A number
// right after a label is named by it: TIME in "TIME 1.5", "TIME = 1.5" and
// "TIME=1.5".  A number at the start of the line or right after another
// number, or after a label that already named a number of the same line, is
// named by its position among the numbers of the line, from 0: "#0", "#1".
//
// The quantities of all lines form a table with a column per name, in the
// order in which the names first appear, and a row per line; a line that
// has no quantity of a name leaves that cell empty (the front end's NaN).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tavrel::lib {

class LeadLines {
 public:
  // A number of a line: its value and the index of its name in names().
  struct Quantity {
    double value;
    std::uint32_t name;
  };

  // Adds `line` (its text, without the line end) as the next line.
  void add(std::string_view line);
  // Takes back the line added last (its block was never read), and the
  // names that only it had.
  void drop_last() noexcept;
  // Adds the lines of `other` after these, as if added one by one.
  void append(const LeadLines& other);

  std::size_t size() const noexcept { return ends_.size(); }
  std::string_view line(std::size_t b) const noexcept;
  // The lines end to end: line b is text()[ends()[b - 1], ends()[b]).
  const std::string& text() const noexcept { return text_; }
  const std::vector<std::size_t>& ends() const noexcept { return ends_; }

  std::optional<double> time(std::size_t b) const noexcept;
  // Whether every line has a time.
  bool all_timed() const noexcept { return untimed_ == 0; }

  // The names of the table's columns.
  const std::vector<std::string>& names() const noexcept { return names_; }
  // The quantities of every line, line after line, in the order of the
  // line; line b's are quantities()[quantity_ends()[b - 1], quantity_ends()[b]).
  const std::vector<Quantity>& quantities() const noexcept { return quantities_; }
  const std::vector<std::size_t>& quantity_ends() const noexcept { return quantity_ends_; }

  // Same lines, same numbers (compared bit for bit) and names.
  bool operator==(const LeadLines& other) const noexcept;

 private:
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const noexcept { return std::hash<std::string_view>{}(name); }
  };

  // The index of the name `name`, added as a new column if it is new.
  std::uint32_t name_index(std::string_view name);
  // Adds a quantity to the line being added, named `label` unless that is
  // empty or already named one of the line, else by its position.
  void add_quantity(double value, std::string_view label);

  std::string text_;
  std::vector<std::size_t> ends_;
  std::vector<double> times_;         // per line; 0 where the line has none
  std::vector<std::uint8_t> timed_;   // per line: whether it has a time
  std::size_t untimed_ = 0;
  std::vector<Quantity> quantities_;
  std::vector<std::size_t> quantity_ends_;
  std::vector<std::uint32_t> names_before_;  // per line: how many names there were before it
  std::vector<std::string> names_;
  std::unordered_map<std::string, std::uint32_t, NameHash, std::equal_to<>> index_;
  // The line being added, for naming: where its quantities start, and per
  // name the number of the last add() whose line used it.
  std::size_t line_begin_ = 0;
  std::uint64_t adds_ = 0;
  std::vector<std::uint64_t> used_in_;
};

}  // namespace tavrel::lib
