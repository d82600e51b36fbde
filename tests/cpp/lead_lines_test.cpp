// Tests of the lead lines' numbers: naming, and that the ways a read builds
// them (a line at a time, parts appended, a last line taken back) agree.
#include "lib/lead_lines.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace tavrel::lib {
namespace {

// name -> value of line b.
std::vector<std::pair<std::string, double>> named(const LeadLines& leads, std::size_t b) {
  std::vector<std::pair<std::string, double>> out;
  const std::size_t begin = b == 0 ? 0 : leads.quantity_ends()[b - 1];
  for (std::size_t i = begin; i < leads.quantity_ends()[b]; ++i) {
    out.emplace_back(leads.names()[leads.quantities()[i].name], leads.quantities()[i].value);
  }
  return out;
}

using Named = std::vector<std::pair<std::string, double>>;

TEST(LeadLines, NamesEachNumberByTheLabelBeforeItOrItsPosition) {
  LeadLines leads;
  leads.add("TIME 1.5E-03 DT= 1.0E-04 CYCLE= 12");
  leads.add(" TIME =  5.00000E-02  STEP        2");
  leads.add("T=0.5 DT=-2.5E-01 +3");
  leads.add("1.5 2.5 A= 1 A= 2 3");
  leads.add("#1= 7 8 9");
  EXPECT_EQ(named(leads, 0), (Named{{"TIME", 1.5e-3}, {"DT", 1.0e-4}, {"CYCLE", 12}}));
  EXPECT_EQ(named(leads, 1), (Named{{"TIME", 5e-2}, {"STEP", 2}}));
  EXPECT_EQ(named(leads, 2), (Named{{"T", 0.5}, {"DT", -0.25}, {"#2", 3}}));
  EXPECT_EQ(named(leads, 3), (Named{{"#0", 1.5}, {"#1", 2.5}, {"A", 1}, {"#3", 2}, {"#4", 3}}));
  // A label spelled like a position does not take that position's number.
  EXPECT_EQ(named(leads, 4), (Named{{"#1", 7}, {"#1'", 8}, {"#2", 9}}));
  EXPECT_EQ(leads.names(), (std::vector<std::string>{"TIME", "DT", "CYCLE", "STEP", "T", "#2", "#0", "#1", "A",
                                                     "#3", "#4", "#1'"}));
  // The time is the first number that is a word of its own.
  EXPECT_EQ(leads.time(0), 1.5e-3);
  EXPECT_EQ(leads.time(1), 5e-2);
  EXPECT_EQ(leads.time(2), 3.0);
  EXPECT_TRUE(leads.all_timed());
  leads.add("no numbers here");
  EXPECT_FALSE(leads.time(5).has_value());
  EXPECT_FALSE(leads.all_timed());
  EXPECT_TRUE(named(leads, 5).empty());
}

const std::vector<std::string> LINES = {
    "TIME 0 DT= 0.5",    "TIME 1",         "TIME 2 RESTART= 1 DT= 0.25", "1 2 3",
    "TIME 4 DT= nan",    "STEP= 5 TIME 5", "nothing",                    "TIME 7 NEW= 7 RESTART= 2",
};

// Parts appended, cut at every place, are the lines added one by one.
TEST(LeadLines, AppendedPartsAreTheLinesAddedOneByOne) {
  LeadLines whole;
  for (const std::string& line : LINES) whole.add(line);
  for (std::size_t cut = 0; cut <= LINES.size(); ++cut) {
    LeadLines first, second;
    for (std::size_t b = 0; b < LINES.size(); ++b) (b < cut ? first : second).add(LINES[b]);
    first.append(second);
    EXPECT_TRUE(first == whole) << "cut at " << cut;
  }
}

// A line taken back leaves what was there before it, names included.
TEST(LeadLines, DropLastTakesBackTheLineAndItsNewNames) {
  for (std::size_t count = 1; count <= LINES.size(); ++count) {
    LeadLines before, after;
    for (std::size_t b = 0; b + 1 < count; ++b) {
      before.add(LINES[b]);
      after.add(LINES[b]);
    }
    after.add(LINES[count - 1]);
    after.drop_last();
    EXPECT_TRUE(after == before) << "line " << count - 1;
    // And naming goes on as if the line had never been there.
    before.add(LINES[count - 1]);
    after.add(LINES[count - 1]);
    EXPECT_TRUE(after == before) << "line " << count - 1;
  }
}

}  // namespace
}  // namespace tavrel::lib
