// vantorell-check's report tree and its two renderers: every kind of value
// in JSON, the lines of the text form in the tree's order, and each form's
// escape of texts that hold bytes a terminal or a JSON reader would choke on.

#include <gtest/gtest.h>

#include "report.h"

#include <string>

using vcheck::Node;

namespace {

// A tree with every kind of value, nested, and members in an order that is
// not alphabetical.
Node sample()
{
    Node out = Node::object();
    out.set("zeta", Node::text("caf\xc3\xa9 \x1b[31m \xff"));
    Node &list = out.set("list", Node::list());
    list.add(Node::integer(-5000000000));
    list.add(Node::number(0.25));
    list.add(Node());
    Node &inner = list.add(Node::object());
    inner.set("yes", Node::boolean(true));
    inner.set("no", Node::boolean(false));
    out.set("empty", Node::list());
    out.set("none", Node());
    return out;
}

TEST(Report, JsonShowsEveryKindInTheOrderSet)
{
    EXPECT_EQ(vcheck::renderJson(sample()),
              "{\n"
              "  \"zeta\": \"caf\xc3\xa9 \\u001b[31m \\\\xFF\",\n"
              "  \"list\": [\n"
              "    -5000000000,\n"
              "    0.25,\n"
              "    null,\n"
              "    {\n"
              "      \"yes\": true,\n"
              "      \"no\": false\n"
              "    }\n"
              "  ],\n"
              "  \"empty\": [\n"
              "  ],\n"
              "  \"none\": null\n"
              "}\n");
    EXPECT_EQ(vcheck::renderText(sample()), "");
}

TEST(Report, TextIsTheLinesOfEachNodeBeforeThoseOfItsMembers)
{
    Node out = Node::list();
    Node &first = out.add(Node::object());
    first.line().literal("first, ").format("%d of %s", 1, "2");
    first.line().literal("first again");
    first.set("inner", Node::text("x")).line().literal("inner of first");
    out.add(Node()).line().literal("a null carries lines too");
    Node &last = out.add(Node::object());
    last.set("deep", Node::list()).add(Node::integer(3)).line().literal("deep in last");
    last.line().literal("last");

    EXPECT_EQ(vcheck::renderText(out),
              "first, 1 of 2\n"
              "first again\n"
              "inner of first\n"
              "a null carries lines too\n"
              "last\n"
              "deep in last\n");
}

// Texts are escaped by each renderer in its own way; literal pieces (the
// tool's own words) are written as they are.
TEST(Report, EachFormEscapesTextsItsOwnWay)
{
    struct Case {
        std::string text;
        std::string line;       // the text form
        std::string json;       // the JSON string, quotes and all
    } cases[] = {
        {"plain", "plain", "\"plain\""},
        {"a\nb\r\x1b[2J", "a\\x0Ab\\x0D\\x1B[2J", "\"a\\nb\\r\\u001b[2J\""},
        {"caf\xc3\xa9", "caf\\xC3\\xA9", "\"caf\xc3\xa9\""},
        {"\xc3(\xff\x7f", "\\xC3(\\xFF\\x7F", "\"\\\\xC3(\\\\xFF\x7f\""},
        {"back\\slash /", "back\\slash /", "\"back\\\\slash /\""},
        {std::string("nul\0byte", 8), "nul\\x00byte", "\"nul\\u0000byte\""},
    };
    for (const Case &c : cases) {
        Node node = Node::text(c.text);
        node.line().literal("\t> ").text(c.text);
        EXPECT_EQ(vcheck::renderText(node), "\t> " + c.line + "\n") << c.line;
        EXPECT_EQ(vcheck::renderJson(node), c.json + "\n") << c.line;
    }
}

// A literal of any length, as printf would write it.
TEST(Report, FormatIsNotBounded)
{
    std::string pattern(5000, 'a');
    EXPECT_EQ(vcheck::format("<%s> %d", pattern.c_str(), 7), "<" + pattern + "> 7");
    Node node;
    node.line().format("%s!", pattern.c_str());
    EXPECT_EQ(vcheck::renderText(node), pattern + "!\n");
}

}  // namespace
