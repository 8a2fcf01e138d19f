/*
 * The report tree and its two renderers: see report.h.
 */
#include "report.h"
#include "text.h"

#include <cstdarg>
#include <cstdio>

namespace vcheck {

Line &Line::literal(std::string piece)
{
    pieces_.push_back(Piece{false, std::move(piece)});
    return *this;
}

namespace {

std::string formatList(const char *fmt, va_list args)
{
    va_list again;
    va_copy(again, args);
    int length = vsnprintf(nullptr, 0, fmt, args);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) {
        vsnprintf(&text[0], text.size() + 1, fmt, again);
    }
    va_end(again);
    return text;
}

}  // namespace

std::string format(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    std::string text = formatList(fmt, args);
    va_end(args);
    return text;
}

Line &Line::format(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    std::string piece = formatList(fmt, args);
    va_end(args);
    return literal(std::move(piece));
}

Line &Line::text(std::string text)
{
    pieces_.push_back(Piece{true, std::move(text)});
    return *this;
}

Node Node::boolean(bool value)
{
    Node node(Kind::Boolean);
    node.boolean_ = value;
    return node;
}

Node Node::integer(int64_t value)
{
    Node node(Kind::Integer);
    node.integer_ = value;
    return node;
}

Node Node::number(double value)
{
    Node node(Kind::Number);
    node.number_ = value;
    return node;
}

Node Node::text(std::string value)
{
    Node node(Kind::Text);
    node.text_ = std::move(value);
    return node;
}

Node Node::list()
{
    return Node(Kind::List);
}

Node Node::object()
{
    return Node(Kind::Object);
}

Node &Node::set(std::string name, Node value)
{
    members_.push_back(Member{std::move(name), std::move(value)});
    return members_.back().value;
}

Node &Node::add(Node value)
{
    return set(std::string(), std::move(value));
}

Line &Node::line()
{
    lines_.emplace_back();
    return lines_.back();
}

namespace {

void appendText(const Node &node, std::string *out)
{
    for (const Line &line : node.lines()) {
        for (const Line::Piece &piece : line.pieces()) {
            *out += piece.escaped ? printable(piece.bytes) : piece.bytes;
        }
        *out += '\n';
    }
    for (const Node::Member &member : node.members()) {
        appendText(member.value, out);
    }
}

json_object *toJson(const Node &node)
{
    switch (node.kind()) {
    case Node::Kind::Null:
        return nullptr;
    case Node::Kind::Boolean:
        return json_object_new_boolean(node.booleanValue());
    case Node::Kind::Integer:
        return json_object_new_int64(node.integerValue());
    case Node::Kind::Number:
        return json_object_new_double(node.numberValue());
    case Node::Kind::Text:
        return jsonText(node.textValue());
    case Node::Kind::List: {
        json_object *list = json_object_new_array();
        for (const Node::Member &item : node.members()) {
            json_object_array_add(list, toJson(item.value));
        }
        return list;
    }
    case Node::Kind::Object: {
        json_object *object = json_object_new_object();
        for (const Node::Member &member : node.members()) {
            json_object_object_add(object, member.name.c_str(), toJson(member.value));
        }
        return object;
    }
    }
    return nullptr;
}

std::string jsonString(json_object *value)
{
    return std::string(json_object_to_json_string_ext(
                           value, JSON_C_TO_STRING_PRETTY | JSON_C_TO_STRING_SPACED
                                      | JSON_C_TO_STRING_NOSLASHESCAPE))
           + "\n";
}

void printOut(const std::string &text)
{
    fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace

std::string renderText(const Node &report)
{
    std::string out;
    appendText(report, &out);
    return out;
}

std::string renderJson(const Node &report)
{
    json_object *tree = toJson(report);
    std::string out = jsonString(tree);
    json_object_put(tree);
    return out;
}

void printReport(const Node &report, Format format)
{
    printOut(format == Format::Json ? renderJson(report) : renderText(report));
}

std::string printable(const std::string &text)
{
    return vantorell::logEscaped(text);
}

json_object *jsonText(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size();) {
        size_t n = vantorell::utf8SequenceLength(
            reinterpret_cast<const unsigned char *>(text.data()) + i, text.size() - i);
        if (n == 0) {
            char escaped[5];
            snprintf(escaped, sizeof(escaped), "\\x%02X", static_cast<unsigned char>(text[i]));
            out += escaped;
            i++;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
    return json_object_new_string_len(out.data(), static_cast<int>(out.size()));
}

void printJson(json_object *value)
{
    printOut(jsonString(value));
}

}  // namespace vcheck
