/*
 * What a command of vantorell-check reports: one tree, filled once, that
 * renders as JSON or as text.
 *
 * The tree is JSON's own: null, booleans, whole numbers, numbers, texts,
 * lists, and objects whose members keep the order they were set in.  The
 * JSON renderer writes the whole tree (json-c, pretty); a text there keeps
 * every character, and only bytes that are not UTF-8 become the text \xHH
 * (data files and URLs decoded by nginx may hold any byte, the report must
 * stay JSON).
 *
 * The text form is lines that the command hangs on the nodes they speak of.
 * The text renderer writes a node's lines, then those of its members or
 * items, in the tree's order; the JSON renderer never sees them.  Any node
 * may carry lines, a null one too (a location that is none).  A line is
 * literal pieces, written as they are, and texts, which the text
 * renderer escapes as the module's error log does (printable()), so that a
 * URL or a pattern cannot move a terminal's cursor or forge a line.
 *
 *   Node out = Node::list();
 *   Node &file = out.add(Node::object());
 *   file.set("file", Node::text(path));
 *   Node &problems = file.set("problems", Node::list());
 *   Node &problem = problems.add(Node::object());
 *   problem.set("experiment", position > 0 ? Node::integer(position) : Node());
 *   problem.set("text", Node::text(text));
 *   problem.line().text(path).literal(": warning: ").text(text);
 *   printReport(out, options.format);
 *
 * References that set() and add() return stay valid while the tree lives.
 */
#ifndef VANTORELL_CHECK_REPORT_H
#define VANTORELL_CHECK_REPORT_H

#include <json-c/json.h>

#include <cstdint>
#include <list>
#include <string>
#include <vector>

namespace vcheck {

enum class Format { Text, Json };

/* One line of the text form, without its newline. */
class Line {
public:
    /* Written as it is: the command's own words. */
    Line &literal(std::string piece);
    /* printf's way, as a literal: numbers and the command's own words. */
    Line &format(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    /* Escaped by the text renderer: anything from a file, a URL or the user. */
    Line &text(std::string text);

    struct Piece {
        bool escaped;
        std::string bytes;
    };
    const std::vector<Piece> &pieces() const { return pieces_; }

private:
    std::vector<Piece> pieces_;
};

class Node {
public:
    enum class Kind { Null, Boolean, Integer, Number, Text, List, Object };
    struct Member;

    Node() = default;   /* null */
    static Node boolean(bool value);
    static Node integer(int64_t value);
    static Node number(double value);
    static Node text(std::string value);
    static Node list();
    static Node object();

    /* An object's member, added at its end; the member is returned. */
    Node &set(std::string name, Node value);
    /* A list's item, added at its end; the item is returned. */
    Node &add(Node value);
    /* A new line of the text form, after this node's other lines. */
    Line &line();

    Kind kind() const { return kind_; }
    bool booleanValue() const { return boolean_; }
    int64_t integerValue() const { return integer_; }
    double numberValue() const { return number_; }
    const std::string &textValue() const { return text_; }
    /* A list's items (their names empty) or an object's members. */
    const std::list<Member> &members() const { return members_; }
    const std::list<Line> &lines() const { return lines_; }

private:
    explicit Node(Kind kind) : kind_(kind) {}

    Kind kind_ = Kind::Null;
    bool boolean_ = false;
    int64_t integer_ = 0;
    double number_ = 0.0;
    std::string text_;
    std::list<Member> members_;
    std::list<Line> lines_;
};

struct Node::Member {
    std::string name;
    Node value;
};

/* The text form: every line of the tree, each with its newline. */
std::string renderText(const Node &report);

/* The JSON form, pretty, with a newline. */
std::string renderJson(const Node &report);

/* The report in the format asked for, to stdout. */
void printReport(const Node &report, Format format);

/* The escapes of the two forms, for texts that go elsewhere (stderr, a text
 * that is put together before it is reported). */

/* A text for a terminal: control characters and bytes from 0x7f up as \xHH.
 * The backslash stays as it is: patterns are full of them. */
std::string printable(const std::string &text);

/* A JSON string of a text: valid UTF-8 as it is, any other byte as \xHH. */
json_object *jsonText(const std::string &text);

/* printf's way, into a text of any length. */
std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* Writes a JSON value to stdout as renderJson does. */
void printJson(json_object *value);

}  // namespace vcheck

#endif
