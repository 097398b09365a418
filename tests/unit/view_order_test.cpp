// The names a view's statement reads from, which put views in an order a
// restore can create them in: aliases, columns and quoted text must not
// count, or false cycles would put a view before the one it reads.
#include "backup/view_order.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

using Names = std::set<std::string>;

std::string view(const std::string& name, const std::string& select) {
  return "CREATE ALGORITHM=UNDEFINED DEFINER=`u`@`%` SQL SECURITY DEFINER VIEW `" +
         name + "` AS " + select;
}

TEST(NamesReadBy, TablesCountButNotColumnsOrAliases) {
  EXPECT_EQ(namesReadBy(view("v", "select `t`.`a` AS `x`,`u`.`b` AS `y` from "
                                  "(`t` join `u` on(`t`.`id` = `u`.`id`))"),
                        "v", "db"),
            (Names{"t", "u"}));
}

TEST(NamesReadBy, NameOfTheViewItselfIsNotARead) {
  EXPECT_EQ(namesReadBy(view("v", "select 1 AS `c` from `w`"), "v", "db"),
            (Names{"w"}));
}

TEST(NamesReadBy, NameAfterTheDatabaseIsATableNotAColumn) {
  const Names names =
      namesReadBy(view("v", "select `db`.`t2`.`a` AS `a` from `db`.`t2`"), "v", "db");
  EXPECT_EQ(names.count("t2"), 1u);
  EXPECT_EQ(names.count("a"), 0u);
}

TEST(NamesReadBy, QuotedTextAndDoubledBackquotes) {
  EXPECT_EQ(namesReadBy(view("v", "select 'it''s `x`' AS `c`,\"`y`\" AS `d` "
                                  "from `odd``name`"),
                        "v", "db"),
            (Names{"odd`name"}));
}

TEST(NamesReadBy, WithoutTheViewsHeadTheWholeTextIsRead) {
  EXPECT_EQ(namesReadBy("select `a` from `t`", "v", "db"), (Names{"a", "t"}));
}

TEST(NamesReadBy, UnterminatedNameEndsTheText) {
  EXPECT_EQ(namesReadBy(view("v", "select 1 from `t"), "v", "db"), (Names{"t"}));
}

}  // namespace
