// The lead lines and their numbers; see lead_lines.hpp.
#include "lib/lead_lines.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "text/words.hpp"

namespace tavrel::lib {
namespace {

// `word` as a number when the whole of it is one (a leading '+' allowed).
std::optional<double> number_of(std::string_view word) noexcept {
  if (!word.empty() && word.front() == '+') word.remove_prefix(1);
  double value = 0;
  const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), value);
  if (ec == std::errc() && end == word.data() + word.size()) return value;
  return std::nullopt;
}

}  // namespace

std::string_view LeadLines::line(std::size_t b) const noexcept {
  const std::size_t begin = b == 0 ? 0 : ends_[b - 1];
  return std::string_view(text_).substr(begin, ends_[b] - begin);
}

std::optional<double> LeadLines::time(std::size_t b) const noexcept {
  if (!timed_[b]) return std::nullopt;
  return times_[b];
}

std::uint32_t LeadLines::name_index(std::string_view name) {
  if (auto found = index_.find(name); found != index_.end()) return found->second;
  const auto index = static_cast<std::uint32_t>(names_.size());
  names_.emplace_back(name);
  used_in_.push_back(0);
  index_.emplace(names_.back(), index);
  return index;
}

void LeadLines::add_quantity(double value, std::string_view label) {
  const std::size_t position = quantities_.size() - line_begin_;
  std::uint32_t name = UINT32_MAX;
  if (!label.empty()) {
    // Lines mostly repeat the names of the line before, in the same order.
    // quantity_ends_ ends with this line's, so the line before starts at
    // the end of the one before that.
    const std::size_t lines = quantity_ends_.size();
    const std::size_t previous = lines >= 3 ? quantity_ends_[lines - 3] : 0;
    if (previous + position < line_begin_ &&
        names_[quantities_[previous + position].name] == label) {
      name = quantities_[previous + position].name;
    } else {
      name = name_index(label);
    }
    if (used_in_[name] == adds_) name = UINT32_MAX;
  }
  if (name == UINT32_MAX) {
    char digits[24] = "#";
    const auto written = std::to_chars(digits + 1, digits + sizeof digits, position);
    std::string positional(digits, written.ptr);
    // Only a label spelled like it can have taken it on this line: primes
    // are added until the name is free.
    for (name = name_index(positional); used_in_[name] == adds_; name = name_index(positional)) positional += '\'';
  }
  used_in_[name] = adds_;
  quantities_.push_back({value, name});
}

void LeadLines::add(std::string_view line) {
  ++adds_;
  names_before_.push_back(static_cast<std::uint32_t>(names_.size()));
  line_begin_ = quantities_.size();
  // Counted as a line already: the naming looks at the line before it.
  quantity_ends_.push_back(line_begin_);
  std::optional<double> time;
  std::string_view label;  // the label the next number would be named by
  std::size_t at = 0;
  for (std::string_view word = text::next_word(line, at); !word.empty(); word = text::next_word(line, at)) {
    // No number has a '=': only a word without one can be the time.
    const bool whole = word.find('=') == std::string_view::npos;
    while (!word.empty()) {
      const std::size_t equals = word.find('=');
      const std::string_view piece = word.substr(0, equals == std::string_view::npos ? word.size() : equals + 1);
      word.remove_prefix(piece.size());
      if (piece.back() != '=') {
        if (const std::optional<double> value = number_of(piece)) {
          if (!time && whole) time = value;
          add_quantity(*value, label);
          label = {};
          continue;
        }
      }
      const std::size_t kept = piece.find_last_not_of('=');
      if (kept != std::string_view::npos) label = piece.substr(0, kept + 1);
    }
  }
  quantity_ends_.back() = quantities_.size();
  text_ += line;
  ends_.push_back(text_.size());
  times_.push_back(time.value_or(0));
  timed_.push_back(time.has_value());
  untimed_ += !time;
}

void LeadLines::drop_last() noexcept {
  if (ends_.empty()) return;
  ends_.pop_back();
  text_.resize(ends_.empty() ? 0 : ends_.back());
  untimed_ -= !timed_.back();
  times_.pop_back();
  timed_.pop_back();
  quantity_ends_.pop_back();
  quantities_.resize(quantity_ends_.empty() ? 0 : quantity_ends_.back());
  const std::uint32_t names = names_before_.back();
  names_before_.pop_back();
  for (std::size_t i = names; i < names_.size(); ++i) index_.erase(names_[i]);
  names_.resize(names);
  used_in_.resize(names);
  line_begin_ = quantities_.size();
}

void LeadLines::append(const LeadLines& other) {
  // The other's names as these lines name them: new ones are added in the
  // order in which the other's lines first have them.
  std::vector<std::uint32_t> renamed;
  renamed.reserve(other.names_.size());
  const std::size_t base_text = text_.size();
  const std::size_t base_quantities = quantities_.size();
  std::size_t next_name = 0;  // the other's names before this are renamed
  for (std::size_t b = 0; b < other.size(); ++b) {
    names_before_.push_back(static_cast<std::uint32_t>(names_.size()));
    const std::size_t end = std::max<std::size_t>(next_name, b + 1 < other.size() ? other.names_before_[b + 1]
                                                                                   : other.names_.size());
    for (; next_name < end; ++next_name) renamed.push_back(name_index(other.names_[next_name]));
    ends_.push_back(base_text + other.ends_[b]);
    quantity_ends_.push_back(base_quantities + other.quantity_ends_[b]);
  }
  text_ += other.text_;
  for (const Quantity& q : other.quantities_) quantities_.push_back({q.value, renamed[q.name]});
  times_.insert(times_.end(), other.times_.begin(), other.times_.end());
  timed_.insert(timed_.end(), other.timed_.begin(), other.timed_.end());
  untimed_ += other.untimed_;
  line_begin_ = quantities_.size();
}

bool LeadLines::operator==(const LeadLines& other) const noexcept {
  if (text_ != other.text_ || ends_ != other.ends_ || names_ != other.names_ || timed_ != other.timed_ ||
      quantity_ends_ != other.quantity_ends_ || untimed_ != other.untimed_) {
    return false;
  }
  for (std::size_t b = 0; b < times_.size(); ++b) {
    if (timed_[b] && std::memcmp(&times_[b], &other.times_[b], sizeof(double)) != 0) return false;
  }
  for (std::size_t i = 0; i < quantities_.size(); ++i) {
    const Quantity& a = quantities_[i];
    const Quantity& b = other.quantities_[i];
    if (a.name != b.name || std::memcmp(&a.value, &b.value, sizeof(double)) != 0) return false;
  }
  return true;
}

}  // namespace tavrel::lib
