#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "split_command_line.h"

namespace {

std::vector<std::string> Split(const std::string &line)
{
    char buffer[DETACH_LINE_SIZE];
    char *tokens[DETACH_TOKEN_SLOTS];
    int count = SplitCommandLine(line.c_str(), buffer, tokens);
    std::vector<std::string> out;
    if (count < 0)
        return {"<refused>"};
    for (int i = 0; i < count; ++i)
        out.emplace_back(tokens[i]);
    EXPECT_EQ(tokens[count], nullptr) << "table ends with a null entry: " << line;
    return out;
}

using Tokens = std::vector<std::string>;

TEST(SplitCommandLine, CutsTokensByTheQuotingRules)
{
    struct Case { const char *line; Tokens tokens; } cases[] = {
        {"", {}},
        {" \t ", {}},
        {"velkdet", {"velkdet"}},
        {"  velkdet\tprog  ", {"velkdet", "prog"}},
        /* a b / c d / e */
        {"velkdet \"a b\" 'c d' e", {"velkdet", "a b", "c d", "e"}},
        {"x \"a\tb\"", {"x", "a\tb"}},
        /* quote characters inside an unquoted token are ordinary */
        {"x ab\"c 'd", {"x", "ab\"c", "d"}},
        {"x it's", {"x", "it's"}},
        /* the other quote character is ordinary inside a quoted token */
        {"x \"it's\" 'say \"hi\"'", {"x", "it's", "say \"hi\""}},
        /* doubled quote: one literal quote */
        {"x \"say \"\"hi\"\"\"", {"x", "say \"hi\""}},
        {"x 'it''s'", {"x", "it's"}},
        {"x \"\"\"a\"", {"x", "\"a"}},
        {"x \"\"\"\"", {"x", "\""}},
        /* empty tokens */
        {"x \"\" y", {"x", "", "y"}},
        {"x '' '' z", {"x", "", "", "z"}},
        {"x \"\"", {"x", ""}},
        {"x \"\"y", {"x", "", "y"}},
        /* the next token may begin right after a closing quote */
        {"x \"a\"b", {"x", "a", "b"}},
        {"x \"a\"\"\"b c\"", {"x", "a\"", "b", "c\""}},
        /* a missing closing quote runs to the end of the line */
        {"x \"a b  ", {"x", "a b  "}},
        {"x \"", {"x", ""}},
        {"x 'a \"\" b", {"x", "a \"\" b"}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Split(c.line), c.tokens) << "line: " << c.line;
}

TEST(SplitCommandLine, RefusesALineLongerThanItsBuffer)
{
    std::string fits = "x " + std::string(DETACH_LINE_SIZE - 3, 'a');
    ASSERT_EQ(fits.size(), 511u);
    EXPECT_EQ(Split(fits), (Tokens{"x", std::string(509, 'a')}));
    EXPECT_EQ(Split(fits + "a"), Tokens{"<refused>"});
}

TEST(SplitCommandLine, ListsAtMostSixtyThreeTokens)
{
    std::string line;
    for (int i = 0; i < 70; ++i)
        line += "t" + std::to_string(i) + " ";
    Tokens tokens = Split(line);
    ASSERT_EQ(tokens.size(), 63u);
    EXPECT_EQ(tokens.front(), "t0");
    EXPECT_EQ(tokens.back(), "t62");
}

} // namespace
